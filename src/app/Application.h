// The application object (exceptions from handlers end in an error box, not in a crash) and the
// process entry that main() calls.
#pragma once

#include <QApplication>

class Dialogs;

class Application : public QApplication {
public:
    Application(int& argc, char** argv);

    // Where errors escaping an event handler are shown; without one they go to standard error.
    void setDialogs(Dialogs* dialogs) { m_dialogs = dialogs; }

    bool notify(QObject* receiver, QEvent* event) override;

private:
    void showError(const QString& text);

    Dialogs* m_dialogs = nullptr;
};

// Raises the soft open-file limit to the hard one, so 2048 panel connections fit beside the files.
void raiseOpenFileLimit();

// The directory of the running executable, with a trailing '/'.
[[nodiscard]] std::string executableDirectory(const char* argv0);

// The whole program: command line, configuration-only runs, the window or the service, exit status.
int runArdentel(int argc, char** argv);
