#include "app/CommandLine.h"
#include "app/uMain.h"

#include <QApplication>

#include <iostream>

#ifdef __GLIBC__
#include <malloc.h>
#endif

int main(int argc, char** argv)
{
#ifdef __GLIBC__
    // Every picture takes and gives back buffers of tens of megabytes. glibc would map each one
    // anew and give it back at once, and the kernel clear its pages every time; kept in the heap
    // they are reused by the next picture.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
#endif
    // Without arguments the program opens its window; with arguments it is the command line.
    if (argc > 1) {
        QCoreApplication app(argc, argv);
        return b2d::runCommandLine(app.arguments().mid(1), std::cout, std::cerr);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("bild2dicom"));
    QApplication::setApplicationDisplayName(QStringLiteral("bild2dicom"));
    b2d::TfrmMain frmMain;
    frmMain.show();
    return app.exec();
}
