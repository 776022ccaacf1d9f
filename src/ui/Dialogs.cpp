// Message boxes, the save dialog and the beep for the desktop, for a service and for tests.
#include "ui/Dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <cstdio>

Dialogs::Answer defaultAnswer(Dialogs::Buttons buttons)
{
    switch (buttons) {
    case Dialogs::Buttons::YesNo:
        return Dialogs::Answer::No;
    case Dialogs::Buttons::OkCancel:
        return Dialogs::Answer::Cancel;
    case Dialogs::Buttons::Ok:
        break;
    }
    return Dialogs::Answer::Ok;
}

Dialogs::Answer QtDialogs::ask(QWidget* parent, const QString& title, const QString& text, Buttons buttons,
                               Icon icon, Answer defaultButton)
{
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(text);
    switch (icon) {
    case Icon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    case Icon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case Icon::Exclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case Icon::Error:
        box.setIcon(QMessageBox::Critical);
        break;
    case Icon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    }
    switch (buttons) {
    case Buttons::Ok:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case Buttons::OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(defaultButton == Answer::Cancel ? QMessageBox::Cancel : QMessageBox::Ok);
        break;
    case Buttons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(defaultButton == Answer::No ? QMessageBox::No : QMessageBox::Yes);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Yes:
        return Answer::Yes;
    case QMessageBox::No:
        return Answer::No;
    case QMessageBox::Ok:
        return Answer::Ok;
    default:
        // Closing the box with Escape or the title bar is the safe answer.
        return defaultAnswer(buttons);
    }
}

QString QtDialogs::saveFileName(QWidget* parent, const QString& defaultSuffix, const QString& filter)
{
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(defaultSuffix);
    dialog.setNameFilter(filter);
    // The caller asks its own overwrite question.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

void QtDialogs::beep()
{
    QApplication::beep();
}

Dialogs::Answer HeadlessDialogs::ask(QWidget*, const QString& title, const QString& text, Buttons buttons,
                                     Icon, Answer)
{
    const QByteArray line = (title + QStringLiteral(": ") + text.trimmed()).toUtf8();
    std::fprintf(stderr, "%s\n", line.constData());
    std::fflush(stderr);
    return defaultAnswer(buttons);
}

QString HeadlessDialogs::saveFileName(QWidget*, const QString&, const QString&)
{
    return {};
}

Dialogs::Answer ScriptedDialogs::ask(QWidget*, const QString& title, const QString& text, Buttons buttons,
                                     Icon icon, Answer defaultButton)
{
    asked.push_back(Question{title, text, buttons, icon, defaultButton});
    if (answers.empty())
        return defaultAnswer(buttons);
    const Answer a = answers.front();
    answers.pop_front();
    return a;
}

QString ScriptedDialogs::saveFileName(QWidget*, const QString& defaultSuffix, const QString& filter)
{
    saveFilters << filter;
    (void)defaultSuffix;
    if (saveNames.empty())
        return {};
    QString name = saveNames.front();
    saveNames.pop_front();
    return name;
}
