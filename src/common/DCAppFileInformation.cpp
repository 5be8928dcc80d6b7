#include "common/DCAppFileInformation.h"

#include <QCoreApplication>

#ifdef Q_OS_WIN
#include <windows.h>
#include <memory>
#include <utility>
#endif

namespace b2d {

QString compiledVersion()
{
    return QStringLiteral(B2D_VERSION);
}

TDCAppFileInformation::TDCAppFileInformation()
    : TDCAppFileInformation(QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : QString())
{
}

TDCAppFileInformation::TDCAppFileInformation(const QString& executablePath)
    : FInfoFromFile(executablePath)
{
    read();
}

#ifdef Q_OS_WIN
void TDCAppFileInformation::read()
{
    const std::wstring path = FInfoFromFile.toStdWString();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0)
        return;
    auto buffer = std::make_unique<char[]>(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, buffer.get()))
        return;
    struct Translation { WORD language; WORD codePage; };
    Translation* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(buffer.get(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length)
        || length < sizeof(Translation))
        return;
    const QString block = QStringLiteral("\\StringFileInfo\\%1%2\\")
                              .arg(translation->language, 4, 16, QChar('0'))
                              .arg(translation->codePage, 4, 16, QChar('0'))
                              .toUpper();
    auto query = [&](const char* name) {
        const std::wstring key = (block + QLatin1String(name)).toStdWString();
        wchar_t* value = nullptr;
        UINT len = 0;
        if (VerQueryValueW(buffer.get(), key.c_str(), reinterpret_cast<void**>(&value), &len) && len > 0)
            return QString::fromWCharArray(value);
        return QString();
    };
    const std::pair<const char*, QString*> strings[] = {
        {"CompanyName", &FCompanyName},         {"FileDescription", &FFileDescription},
        {"FileVersion", &FFileVersion},         {"InternalName", &FInternalName},
        {"LegalCopyright", &FLegalCopyright},   {"LegalTrademarks", &FLegalTrademarks},
        {"OriginalFileName", &FOriginalFileName}, {"ProductName", &FProductName},
        {"ProductVersion", &FProductVersion},   {"SpecialThanks", &FSpecialThanks},
        {"Comments", &FComments},               {"SpecialBuild", &FSpecialBuild},
        {"PrivateBuild", &FPrivateBuild},
    };
    for (const auto& [name, field] : strings)
        *field = query(name);
}
#else
void TDCAppFileInformation::read()
{
    // No version resources here: the build's own version stands in for the file's.
    FFileVersion = compiledVersion();
    FProductVersion = compiledVersion();
    FProductName = QStringLiteral("bild2dicom");
    FFileDescription = QStringLiteral("bild2dicom - picture archive to DICOM converter");
    FOriginalFileName = QStringLiteral("bild2dicom");
    FInternalName = QStringLiteral("bild2dicom");
}
#endif

} // namespace b2d
