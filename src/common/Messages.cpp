#include "common/Messages.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>

#include <unistd.h>

namespace b2d {

namespace {

const QString englishDriverText =
    QStringLiteral("Row cannot be located for updating. Some values may have been changed since it was last read");
const QString swedishDriverText = QStringLiteral(
    "Det gick inte att hitta raden för uppdatering. Vissa värden kan ha ändrats sedan den lästes sist");
const QString explanation = QStringLiteral("Uppgifterna kan ha ändrats av en annan användare.\r"
                                           "Om möjligt, kopiera dina ändringar till klippbordet.\r\r"
                                           "Tryck sedan Ångra för att se de aktuella uppgifterna.");

} // namespace

std::optional<QString> rewriteDriverText(const QString& text)
{
    QString result = text;
    qsizetype at = result.indexOf(englishDriverText);
    if (at >= 0) {
        result.remove(at, englishDriverText.size());
    } else {
        at = result.indexOf(swedishDriverText);
        if (at < 0)
            return std::nullopt;
        result.remove(at, swedishDriverText.size());
    }
    // Whatever follows the driver text (its full stop and more) goes too, up to the length of
    // the English text.
    result.remove(at, englishDriverText.size());
    result.insert(at, explanation);
    return result;
}

QString messageToPlainText(const QString& text)
{
    QString plain = text;
    plain.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    plain.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return plain;
}

void Messages::ShowInformation(const QString& text)
{
    DeactivateProgressWindow();
    show(MessageKind::Information, text);
}

void Messages::ShowMessageText(const QString& text)
{
    DeactivateProgressWindow();
    if (auto rewritten = rewriteDriverText(text))
        show(MessageKind::Warning, *rewritten);
    else
        show(MessageKind::Information, text);
}

int Messages::AskYesNo(const QString& text)
{
    DeactivateProgressWindow();
    return askYesNo(text) ? mrYes : mrNo;
}

void ConsoleMessages::show(MessageKind kind, const QString& text)
{
    const char* prefix = kind == MessageKind::Warning ? "Varning: " : "";
    std::cerr << prefix << messageToPlainText(text).toStdString() << std::endl;
}

bool ConsoleMessages::askYesNo(const QString& text)
{
    const std::string question = messageToPlainText(text).toStdString();
    if (m_assumeYes) {
        std::cerr << question << " [j/n] j" << std::endl;
        return true;
    }
    if (!isatty(STDIN_FILENO)) {
        std::cerr << question << " [j/n] n (inget svar)" << std::endl;
        return false;
    }
    std::cerr << question << " [j/n] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return !answer.empty() && (answer[0] == 'j' || answer[0] == 'J' || answer[0] == 'y' || answer[0] == 'Y');
}

bool ScriptedMessages::askYesNo(const QString& text)
{
    shown.push_back({MessageKind::Question, text});
    const size_t asked = std::count_if(shown.begin(), shown.end(),
                                       [](const Shown& s) { return s.kind == MessageKind::Question; });
    return asked <= answers.size() ? answers[asked - 1] : defaultAnswer;
}

} // namespace b2d
