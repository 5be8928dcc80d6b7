#include "app/Udataproviders_gui.h"
#include "common/Messages.h"
#include "common/Settings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>

using namespace b2d;

namespace {

struct ChooserFixture : ::testing::Test {
    QTemporaryDir dir;
    Settings settings{"/srv/conv/", std::make_unique<IniSettingsBranch>(dir.path() + "/u"),
                      std::make_unique<IniSettingsBranch>(dir.path() + "/m")};
    ScriptedMessages messages;
    DataProviderState state;
    QStringList opened;
    std::unique_ptr<TfrmDataProviders> window;

    void SetUp() override
    {
        state.DataLinksFolder = dir.path() + "/links/";
        QDir().mkpath(state.DataLinksFolder);
        for (const char* name : {"alpha.udl", "Beta.udl", "gamma.udl"})
            test::writeAll(state.DataLinksFolder + name, "[oledb]\r\nProvider=SQLite;Data Source=x\r\n");
        test::writeAll(state.DataLinksFolder + "notes.txt", "not a data link");
        settings.WriteSetting("DataProvider", "DefaultDataProvider", "/somewhere/else/beta.udl");
        state.CurrentConnectionString = "Provider=SQLite;Data Source=x";
        window = std::make_unique<TfrmDataProviders>(state, settings, messages);
        window->IniTextPosision = "DefaultDataProvider";
        window->openFile = [this](const QString& path) { opened << path; };
        window->show();
    }
    QStringList names() const
    {
        QStringList n;
        for (int i = 0; i < window->lbDataProviders->count(); ++i)
            n << window->lbDataProviders->item(i)->text();
        n.sort();
        return n;
    }
    QImage rowImage(int row) const
    {
        const QRect r = window->lbDataProviders->visualItemRect(window->lbDataProviders->item(row));
        return window->lbDataProviders->viewport()->grab(r).toImage();
    }
    // The colour at the row's right end, where no text reaches.
    QColor rowBackground(int row) const
    {
        const QImage img = rowImage(row);
        return img.pixelColor(img.width() - 2, img.height() / 2);
    }
    // Whether row shows any pixel of the given colour.
    bool rowHasColour(int row, QColor colour) const
    {
        const QImage img = rowImage(row);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (img.pixelColor(x, y) == colour)
                    return true;
        return false;
    }
};

} // namespace

TEST_F(ChooserFixture, ListsDataLinksAndSelectsTheDefaultDrawnGreen)
{
    EXPECT_EQ(window->windowTitle(), "DataProviders");
    EXPECT_EQ(window->size(), QSize(209, 250));
    EXPECT_EQ(names(), (QStringList{"Beta.udl", "alpha.udl", "gamma.udl"}));
    EXPECT_EQ(window->selectedName(), "Beta.udl"); // letter case ignored
    const int selected = window->lbDataProviders->currentRow();
    EXPECT_EQ(rowBackground(selected), QColor(192, 192, 192));
    EXPECT_TRUE(rowHasColour(selected, QColor(0, 128, 0)));
    const int other = selected == 0 ? 1 : 0;
    EXPECT_FALSE(rowHasColour(other, QColor(0, 128, 0)));
    EXPECT_EQ(rowBackground(other), QColor(Qt::white));
    EXPECT_EQ(window->lbDataProviders->visualItemRect(window->lbDataProviders->item(0)).height(), 17);
}

TEST_F(ChooserFixture, ButtonsNeedASelection)
{
    window->lbDataProviders->setCurrentRow(-1);
    for (QPushButton* b : {window->btnOK, window->btnDefault, window->btnEdit, window->btnDelete})
        b->click();
    ASSERT_EQ(messages.shown.size(), 4u);
    for (const auto& m : messages.shown)
        EXPECT_EQ(m.text, "Välj en DataProvider först!");
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(state.CurrentConnectionString.isEmpty());
}

TEST_F(ChooserFixture, DefaultEditOkAddAndDelete)
{
    window->refreshList("gamma.udl");
    window->btnDefault->click();
    EXPECT_EQ(settings.ReadSetting("DataProvider", "DefaultDataProvider"), "gamma.udl");

    window->btnEdit->click();
    EXPECT_EQ(opened, QStringList{state.DataLinksFolder + "gamma.udl"});

    window->askNewName = [] { return std::optional<QString>("delta"); };
    window->btnAdd->click();
    EXPECT_TRUE(QFile::exists(state.DataLinksFolder + "delta.udl"));
    EXPECT_EQ(QFileInfo(state.DataLinksFolder + "delta.udl").size(), 0);
    EXPECT_EQ(opened.last(), state.DataLinksFolder + "delta.udl");
    EXPECT_EQ(window->selectedName(), "delta.udl");

    window->askNewName = [] { return std::nullopt; };
    window->btnAdd->click();
    EXPECT_EQ(names().size(), 4);

    messages.answers = {false, true};
    window->btnDelete->click();
    EXPECT_TRUE(QFile::exists(state.DataLinksFolder + "delta.udl"));
    window->btnDelete->click();
    EXPECT_FALSE(QFile::exists(state.DataLinksFolder + "delta.udl"));
    EXPECT_EQ(messages.shown.back().text, "Radera DataProvider-filen delta.udl");
    EXPECT_EQ(window->selectedName(), "");

    window->refreshList("alpha.udl");
    window->btnOK->click();
    EXPECT_EQ(window->result(), QDialog::Accepted);
    EXPECT_TRUE(state.CurrentConnectionString.isEmpty());
}
