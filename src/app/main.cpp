#include <QApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("bild2dicom %s\n", B2D_VERSION);
        return 0;
    }
    QApplication app(argc, argv);
    return 0;
}
