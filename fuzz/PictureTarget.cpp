// libFuzzer target for one picture reader; B2D_FUZZ_EXTENSION names the extension it serves.
#include "FuzzEntries.h"

#include <QGuiApplication>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // Qt's image readers want an application object; no display is needed.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication* app = new QGuiApplication(*argc, *argv);
    (void)app;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    b2d::fuzz::loadPicture(QStringLiteral(B2D_FUZZ_EXTENSION), data, size);
    return 0;
}
