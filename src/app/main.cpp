#include "app/CommandLine.h"
#include "app/uMain.h"

#include <QApplication>

#include <iostream>

int main(int argc, char** argv)
{
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
