#include "common/Settings.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

using namespace b2d;

namespace {

struct SettingsFixture : ::testing::Test {
    QTemporaryDir dir;
    QString userRoot() const { return dir.path() + "/user"; }
    QString machineRoot() const { return dir.path() + "/machine"; }

    std::unique_ptr<Settings> make(const QString& machine = {}) const
    {
        return std::make_unique<Settings>("/opt/A B/conv/", std::make_unique<IniSettingsBranch>(userRoot()),
                                          std::make_unique<IniSettingsBranch>(machine.isEmpty() ? machineRoot() : machine));
    }
    void put(const QString& root, const QString& value) const
    {
        IniSettingsBranch branch(root);
        QString err;
        ASSERT_TRUE(branch.write("SOFTWARE/Veltaron/_opt_A_B_conv/DataProvider", "DefaultDataProvider", value, err))
            << err.toStdString();
    }
};

} // namespace

TEST(SettingsKeyPrefix, DerivedFromTheWorkFolder)
{
    const std::pair<QString, QString> cases[] = {
        {"/opt/A B/", "_opt_A_B/"},
        {"D:\\A B\\", "D_A_B/"},
        {"C:\\Program Files\\Conv\\", "C_Program_Files_Conv/"},
        {"/", "/"},
        {"/srv/conv", "_srv_conv/"},
    };
    for (const auto& [folder, prefix] : cases)
        EXPECT_EQ(settingsKeyPrefixFor(folder), prefix) << folder.toStdString();
}

TEST(SettingsKeyPrefix, WorkFolderEndsInASeparator)
{
    EXPECT_TRUE(currentWorkFolder().endsWith('/'));
}

TEST_F(SettingsFixture, ReadsUserBranchFirstThenMachineThenError)
{
    struct Case {
        const char* user;
        const char* machine;
        const char* expected;
    };
    const Case cases[] = {
        {"u.udl", "m.udl", "u.udl"},
        {"   ", "m", "m"},
        {" a ", nullptr, " a "},
        {nullptr, nullptr, "ERROR"},
        {"", "   ", "ERROR"},
    };
    for (const Case& c : cases) {
        QDir(userRoot()).removeRecursively();
        QDir(machineRoot()).removeRecursively();
        if (c.user)
            put(userRoot(), c.user);
        if (c.machine)
            put(machineRoot(), c.machine);
        EXPECT_EQ(make()->ReadSetting("DataProvider", "DefaultDataProvider"), c.expected)
            << (c.user ? c.user : "-") << " / " << (c.machine ? c.machine : "-");
    }
}

TEST_F(SettingsFixture, OverlongValueReadsAsMissing)
{
    put(userRoot(), QString(512, 'x'));
    put(machineRoot(), QString(511, 'y'));
    EXPECT_EQ(make()->ReadSetting("DataProvider", "DefaultDataProvider"), QString(511, 'y'));
}

TEST_F(SettingsFixture, WriteStoresBothBranchesUnderTheFolderKey)
{
    auto s = make();
    s->WriteSetting("DataProvider", "DefaultDataProvider", "demo.udl");
    QSettings user(IniSettingsBranch(userRoot()).fileName(), QSettings::IniFormat);
    EXPECT_EQ(user.value("SOFTWARE/Veltaron/_opt_A_B_conv/DataProvider/DefaultDataProvider").toString(), "demo.udl");
    QSettings machine(IniSettingsBranch(machineRoot()).fileName(), QSettings::IniFormat);
    EXPECT_EQ(machine.value("SOFTWARE/Veltaron/_opt_A_B_conv/DataProvider/DefaultDataProvider").toString(), "demo.udl");
    EXPECT_TRUE(s->lastError().isEmpty());
    // Another work folder does not see it.
    Settings other("/opt/other/", std::make_unique<IniSettingsBranch>(userRoot()),
                   std::make_unique<IniSettingsBranch>(machineRoot()));
    EXPECT_EQ(other.ReadSetting("DataProvider", "DefaultDataProvider"), "ERROR");
}

TEST_F(SettingsFixture, UnwritableMachineBranchRecordsTheReasonAndKeepsTheUserValue)
{
    // Tests run as root, so permission bits would not stop the write: make the root a file.
    const QString blocked = dir.path() + "/not-a-folder";
    QFile f(blocked);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    auto s = make(blocked);
    s->WriteSetting("DataProvider", "DefaultDataProvider", "x.udl");
    EXPECT_EQ(s->ReadSetting("DataProvider", "DefaultDataProvider"), "x.udl");
    EXPECT_FALSE(s->lastError().isEmpty());
    QSettings user(IniSettingsBranch(userRoot()).fileName(), QSettings::IniFormat);
    EXPECT_EQ(user.value("SOFTWARE/Veltaron/ERROR_WRITING_TO_LOCAL_MACHINE/ErrorMsg").toString(), s->lastError());
}

TEST_F(SettingsFixture, CreatedFilesAreNotWritableByOthers)
{
    make()->WriteSetting("DataProvider", "DefaultDataProvider", "x.udl");
    const QFile::Permissions p = QFile::permissions(IniSettingsBranch(machineRoot()).fileName());
    EXPECT_FALSE(p & QFile::WriteOther);
    EXPECT_FALSE(p & QFile::WriteGroup);
}
