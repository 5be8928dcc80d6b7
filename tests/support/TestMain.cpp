#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

#include <cstdlib>

// Every test executable runs with a QApplication on the offscreen platform and with its own
// settings roots, so no test reads or writes the settings of the machine it runs on.
int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir settingsRoot;
    qputenv("B2D_USER_SETTINGS_ROOT", (settingsRoot.path() + "/user").toUtf8());
    qputenv("B2D_MACHINE_SETTINGS_ROOT", (settingsRoot.path() + "/machine").toUtf8());
    qputenv("B2D_COMMON_FILES", (settingsRoot.path() + "/common").toUtf8());
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
