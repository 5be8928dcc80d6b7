#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace b2d {

// The answers of AskYesNo, as the platform's modal-result codes.
constexpr int mrYes = 6;
constexpr int mrNo = 7;

// The kind of box a message is shown in.
enum class MessageKind { Information, Warning, Question };

// Every message the converter shows and every yes/no question it asks goes through this
// interface. The window shows modal boxes, the command line writes to stderr, tests script it.
// A single carriage return (13) is the line break inside texts.
class Messages {
public:
    virtual ~Messages() = default;

    void ShowInformation(const QString& text);
    // Shows text, with the driver's "row cannot be located" text explained (see
    // rewriteDriverText), as a warning when rewritten and as information otherwise.
    void ShowMessageText(const QString& text);
    void ShowErrorMessage(const QString& text) { ShowMessageText(text); }
    // Returns mrYes or mrNo; any way of closing the box other than Yes counts as No.
    int AskYesNo(const QString& text);

    // Tells a progress window of the maker's progress program to step back. There is no such
    // window outside Windows; implementations for Windows override it.
    virtual void DeactivateProgressWindow() {}

    // The boxes themselves, without the driver-text rewrite.
    virtual void show(MessageKind kind, const QString& text) = 0;
    virtual bool askYesNo(const QString& text) = 0;
};

// Passes every box on to another Messages, which can be swapped (tests answer the window's
// questions this way).
class ForwardingMessages : public Messages {
public:
    explicit ForwardingMessages(Messages* target) : m_target(target) {}
    void setTarget(Messages* target) { m_target = target; }
    void DeactivateProgressWindow() override { m_target->DeactivateProgressWindow(); }
    void show(MessageKind kind, const QString& text) override { m_target->show(kind, text); }
    bool askYesNo(const QString& text) override { return m_target->askYesNo(text); }

private:
    Messages* m_target;
};

// The driver texts "Row cannot be located for updating..." (English first, else Swedish) are
// replaced by a Swedish explanation. Returns the rewritten text, or nothing when neither occurs.
std::optional<QString> rewriteDriverText(const QString& text);

// Text form of a message for a terminal: each carriage return becomes a line break.
QString messageToPlainText(const QString& text);

// Messages for the command line: texts to stderr; questions answered by a fixed answer, or
// asked on the terminal when standard input is one, else No.
class ConsoleMessages : public Messages {
public:
    // assumeYes: answer every question Yes without asking (the --yes flag).
    explicit ConsoleMessages(bool assumeYes = false) : m_assumeYes(assumeYes) {}

    void show(MessageKind kind, const QString& text) override;
    bool askYesNo(const QString& text) override;

private:
    bool m_assumeYes;
};

// Messages with scripted answers, recording everything shown; for tests and unattended use.
class ScriptedMessages : public Messages {
public:
    struct Shown {
        MessageKind kind;
        QString text;
    };

    // Answers given to the questions in turn; when they run out, defaultAnswer is given.
    std::vector<bool> answers;
    bool defaultAnswer = false;
    std::vector<Shown> shown;
    int deactivations = 0;

    void DeactivateProgressWindow() override { ++deactivations; }
    void show(MessageKind kind, const QString& text) override { shown.push_back({kind, text}); }
    bool askYesNo(const QString& text) override;
};

} // namespace b2d
