#include "common/Messages.h"

#include <gtest/gtest.h>

using namespace b2d;

namespace {
const QString en = "Row cannot be located for updating. Some values may have been changed since it was last read";
const QString sv = "Det gick inte att hitta raden för uppdatering. Vissa värden kan ha ändrats sedan den lästes sist";
const QString explanation = "Uppgifterna kan ha ändrats av en annan användare.\rOm möjligt, kopiera dina ändringar till "
                     "klippbordet.\r\rTryck sedan Ångra för att se de aktuella uppgifterna.";
} // namespace

TEST(Messages, DriverTextsAreLongAsTheRewriteAssumes)
{
    EXPECT_EQ(en.size(), 92);
    EXPECT_EQ(sv.size(), 96);
}

TEST(Messages, DriverTextRewrite)
{
    const QString after(100, 'z');
    struct Case {
        QString text;
        QString expected; // empty: shown unchanged as information
    };
    const Case cases[] = {
        {"Kunde inte spara!\r\r" + en + ".", "Kunde inte spara!\r\r" + explanation},
        {en + "." + after, explanation + QString(9, 'z')},
        {sv + ".", explanation},
        {sv + " " + en + ".", sv + " " + explanation},
        {"Det gick inte att ansluta!\r\rTimeout", ""},
    };
    for (const Case& c : cases) {
        ScriptedMessages m;
        m.ShowErrorMessage(c.text);
        ASSERT_EQ(m.shown.size(), 1u);
        EXPECT_EQ(m.deactivations, 1);
        if (c.expected.isEmpty()) {
            EXPECT_EQ(m.shown[0].kind, MessageKind::Information);
            EXPECT_EQ(m.shown[0].text, c.text);
        } else {
            EXPECT_EQ(m.shown[0].kind, MessageKind::Warning);
            EXPECT_EQ(m.shown[0].text, c.expected);
        }
    }
}

TEST(Messages, InformationIsNeverRewrittenAndQuestionsAnswerSixOrSeven)
{
    ScriptedMessages m;
    m.ShowInformation(en);
    EXPECT_EQ(m.shown[0].kind, MessageKind::Information);
    EXPECT_EQ(m.shown[0].text, en);
    m.answers = {true, false};
    EXPECT_EQ(m.AskYesNo("Fortsätta?"), mrYes);
    EXPECT_EQ(m.AskYesNo("Fortsätta?"), mrNo);
    EXPECT_EQ(m.AskYesNo("Fortsätta?"), mrNo); // answers ran out: the default, No
    EXPECT_EQ(m.deactivations, 4);
}

TEST(Messages, ConsoleTextTurnsCarriageReturnsIntoLineBreaks)
{
    EXPECT_EQ(messageToPlainText("a\r\rb\r\nc"), "a\n\nb\nc");
}
