// libFuzzer target for one text reader of the database layer; B2D_FUZZ_ENTRY names the entry.
#include "FuzzEntries.h"

#include <QCoreApplication>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication* app = new QCoreApplication(*argc, *argv);
    (void)app;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    b2d::fuzz::B2D_FUZZ_ENTRY(data, size);
    return 0;
}
