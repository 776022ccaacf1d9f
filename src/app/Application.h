// The application object (exceptions from handlers end in an error box, not in a crash) and the
// process entry that main() calls.
#pragma once

#include <QApplication>
#include <functional>
#include <string>

class Dialogs;

class Application : public QApplication {
public:
    Application(int& argc, char** argv);

    // Where errors escaping an event handler are shown; without one they go to standard error.
    void setDialogs(Dialogs* dialogs) { m_dialogs = dialogs; }

    bool notify(QObject* receiver, QEvent* event) override;

private:
    Dialogs* m_dialogs = nullptr;
};

// Runs one event delivery; an exception escaping it is shown in an error box titled "Ardentel"
// (or written to standard error without `dialogs`) and the delivery counts as not handled.
bool deliverCatching(Dialogs* dialogs, const std::function<bool()>& deliver);

// Raises the soft open-file limit to the hard one, so 2048 panel connections fit beside the files.
void raiseOpenFileLimit();

// The directory of the running executable, with a trailing '/'.
[[nodiscard]] std::string executableDirectory(const char* argv0);

// The whole program: command line, configuration-only runs, the window or the service, exit status.
int runArdentel(int argc, char** argv);
