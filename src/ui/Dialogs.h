// Every question, message box, save dialog and beep goes through this interface, so the
// receiver can run as a service (default answers) and tests can answer without a person.
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <vector>

class QWidget;

class Dialogs {
public:
    enum class Buttons { Ok, OkCancel, YesNo };
    enum class Icon { None, Question, Exclamation, Error, Information };
    enum class Answer { Ok, Cancel, Yes, No };

    virtual ~Dialogs() = default;

    // A modal message box; returns the button pressed. `defaultButton` is the one Enter presses.
    virtual Answer ask(QWidget* parent, const QString& title, const QString& text, Buttons buttons, Icon icon,
                       Answer defaultButton) = 0;
    // The same with the first button (OK or Yes) as the default.
    Answer ask(QWidget* parent, const QString& title, const QString& text, Buttons buttons, Icon icon)
    {
        return ask(parent, title, text, buttons, icon, buttons == Buttons::YesNo ? Answer::Yes : Answer::Ok);
    }
    // The save-file dialog; an empty result means the operator cancelled.
    virtual QString saveFileName(QWidget* parent, const QString& defaultSuffix, const QString& filter) = 0;
    virtual void beep() = 0;

    // An error box with only an OK button.
    void error(QWidget* parent, const QString& title, const QString& text)
    {
        (void)ask(parent, title, text, Buttons::Ok, Icon::Error);
    }
};

// The desktop implementation: QMessageBox, QFileDialog and QApplication::beep.
class QtDialogs final : public Dialogs {
public:
    using Dialogs::ask;
    Answer ask(QWidget* parent, const QString& title, const QString& text, Buttons buttons, Icon icon,
               Answer defaultButton) override;
    QString saveFileName(QWidget* parent, const QString& defaultSuffix, const QString& filter) override;
    void beep() override;
};

// Without a display nobody can answer: every question takes its safe default (No, Cancel) and
// the text goes to standard error so the service log still shows what was asked.
class HeadlessDialogs final : public Dialogs {
public:
    using Dialogs::ask;
    Answer ask(QWidget* parent, const QString& title, const QString& text, Buttons buttons, Icon icon,
               Answer defaultButton) override;
    QString saveFileName(QWidget* parent, const QString& defaultSuffix, const QString& filter) override;
    void beep() override {}
};

// Test double: canned answers in order, and a record of everything that was asked.
class ScriptedDialogs final : public Dialogs {
public:
    struct Question {
        QString title;
        QString text;
        Buttons buttons;
        Icon icon;
        Answer defaultButton;
    };

    using Dialogs::ask;
    Answer ask(QWidget* parent, const QString& title, const QString& text, Buttons buttons, Icon icon,
               Answer defaultButton) override;
    QString saveFileName(QWidget* parent, const QString& defaultSuffix, const QString& filter) override;
    void beep() override { ++beeps; }

    std::deque<Answer> answers;    // consumed front first; when empty the default answer is taken
    std::deque<QString> saveNames; // consumed front first; when empty the dialog counts as cancelled
    std::vector<Question> asked;
    QStringList saveFilters;
    int beeps = 0;
};

// The answer a box gives when nobody presses a button: No, Cancel or OK.
[[nodiscard]] Dialogs::Answer defaultAnswer(Dialogs::Buttons buttons);
