#pragma once

#include <QString>

namespace b2d {

// The version information of the program's own executable. On Windows it is read from the
// file's version resource (first translation only); elsewhere it is what the build compiled in.
class TDCAppFileInformation {
public:
    // Reads the information of the running program at once.
    TDCAppFileInformation();
    // Reads the information of the named executable (on Windows its version resource).
    explicit TDCAppFileInformation(const QString& executablePath);

    const QString& FileVersion() const { return FFileVersion; }

    QString FInfoFromFile;
    QString FCompanyName;
    QString FFileDescription;
    QString FFileVersion;
    QString FInternalName;
    QString FLegalCopyright;
    QString FLegalTrademarks;
    QString FOriginalFileName;
    QString FProductName;
    QString FProductVersion;
    QString FSpecialThanks;
    QString FComments;
    QString FSpecialBuild;
    QString FPrivateBuild;

private:
    void read();
};

// The version compiled into this build (the project version).
QString compiledVersion();

} // namespace b2d
