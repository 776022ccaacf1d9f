// Process start-up: command line, open-file limit, single instance, service mode, main window,
// signals, and the application object that turns escaped exceptions into an error box.
#include "app/Application.h"

#include "app/AccountKeysCommand.h"
#include "app/CommandLine.h"
#include "app/DataDirectoryLock.h"
#include "app/MainForm.h"
#include "app/ReceiverCore.h"
#include "app/ServiceNotifier.h"
#include "app/SingleInstance.h"
#include "config/ConfigRecord.h"
#include "config/DataPaths.h"
#include "dc09/Dc09Receiver.h"
#include "ui/AccountKeysForm.h"
#include "ui/ComSettingsForm.h"
#include "ui/Dialogs.h"
#include "ui/EventsForm.h"
#include "ui/LatestEventsForm.h"
#include "ui/LogForm.h"
#include "ui/MonitoringPage.h"
#include "ui/PageTabBar.h"

#include <QDir>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* receiver, QEvent* event)
{
    return deliverCatching(m_dialogs, [&] { return QApplication::notify(receiver, event); });
}

bool deliverCatching(Dialogs* dialogs, const std::function<bool()>& deliver)
{
    QString text;
    try {
        return deliver();
    } catch (const std::exception& e) {
        text = QString::fromLocal8Bit(e.what());
    } catch (...) {
        text = QStringLiteral("An unknown error occurred.");
    }
    if (dialogs)
        dialogs->error(QApplication::activeWindow(), QStringLiteral("Ardentel"), text);
    else
        std::fprintf(stderr, "Ardentel: %s\n", text.toLocal8Bit().constData());
    return false;
}

void raiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string executableDirectory(const char* argv0)
{
    std::array<char, PATH_MAX> buffer{};
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    std::string path = n > 0 ? std::string(buffer.data(), std::size_t(n)) : std::string(argv0 ? argv0 : "");
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

namespace {

int g_signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    (void)!::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

// SIGINT and SIGTERM close the window the normal way, so a stop runs the full shutdown.
bool watchTerminationSignals()
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

bool noDisplay()
{
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    return (!x || !*x) && (!w || !*w);
}

// How the program shows itself: as a service, as the desktop program, or as the desktop program
// drawn offscreen (nobody at the screen: default answers, log lines on standard output).
enum class Face { Service, Desktop, Offscreen };

int runWindow(const CommandLine& cl, const DataPaths& paths, Dialogs& dialogs, Face face);

int configure(const CommandLine& cl, const DataPaths& paths)
{
    // A running receiver would write its own record over the change at its next save, so a change
    // under it is refused rather than lost later without a word.
    DataDirectoryLock lock;
    if (!cl.sets.empty() || cl.changesAccountKeys()) {
        const auto state = lock.acquire(paths.dir, std::chrono::milliseconds(500));
        if (state == DataDirectoryLock::State::InUse) {
            std::fprintf(stderr,
                         "ardentel: %s is in use by a running receiver: nothing changed (stop it first, "
                         "or change the setting in its window)\n",
                         paths.dir.c_str());
            return 3;
        }
        if (state == DataDirectoryLock::State::Unavailable)
            std::fprintf(stderr, "ardentel: warning: cannot tell whether a receiver uses %s: %s\n",
                         paths.dir.c_str(), std::strerror(lock.osError()));
    }
    if (cl.accountKeysOnly() && cl.sets.empty() && !cl.showConfig)
        return runAccountKeysCommand(cl, paths);
    Config_Record record{};
    const ConfigFileResult loaded = loadConfig(paths.config, record);
    if (!loaded.ok() && !cl.sets.empty()) {
        // A file that could not be read or written as a whole would come back as zeros around the
        // changed field, losing every other setting.
        std::fprintf(stderr, "ardentel: cannot use %s: %s (nothing changed)\n", paths.config.c_str(),
                     std::strerror(loaded.osError));
        return 1;
    }
    if (!loaded.ok())
        std::fprintf(stderr, "ardentel: warning: %s: %s\n", paths.config.c_str(),
                     std::strerror(loaded.osError));
    if (!cl.sets.empty()) {
        Config_Record changed = record;
        for (const auto& [name, value] : cl.sets) {
            if (auto error = setConfigField(changed, name, value)) {
                std::fprintf(stderr, "ardentel: %s (kalvor.cfg left unchanged)\n", error->message.c_str());
                return 2;
            }
        }
        const ConfigFileResult saved = Save_Settings(paths.config, changed);
        if (!saved.ok()) {
            std::fprintf(stderr, "ardentel: cannot write %s: %s\n", paths.config.c_str(),
                         std::strerror(saved.osError));
            return 1;
        }
        record = changed;
    }
    if (cl.accountKeysOnly()) {
        if (const int status = runAccountKeysCommand(cl, paths); status != 0)
            return status;
    }
    if (cl.showConfig) {
        for (const auto& [name, value] : describeConfig(record))
            std::printf("%s=%s\n", name.c_str(), value.c_str());
    }
    return 0;
}

} // namespace

int runArdentel(int argc, char** argv)
{
    // Log lines also go to standard output. A reader that goes away (a closed pipe, a restarted
    // log service) must cost those lines, not kill the receiver before it closes in order.
    std::signal(SIGPIPE, SIG_IGN);
    auto [cl, error] = parseCommandLine(argc, argv);
    if (error) {
        std::fprintf(stderr, "ardentel: %s\n", error->message.c_str());
        return 2;
    }
    if (cl.help) {
        std::fputs(commandLineHelp().c_str(), stdout);
        return 0;
    }
    raiseOpenFileLimit();

    const std::string dir = cl.dir.empty() ? executableDirectory(argc > 0 ? argv[0] : nullptr) : cl.dir;
    // A service pointed at a new directory gets it, rather than running without its files.
    if (!QDir().mkpath(QString::fromLocal8Bit(dir.c_str()))) {
        std::fprintf(stderr, "ardentel: cannot create the data directory %s\n", dir.c_str());
        return 1;
    }
    const DataPaths paths = DataPaths::inDirectory(dir);
    if (cl.configOnly())
        return configure(cl, paths);

    const Face face = cl.headless   ? Face::Service
                      : noDisplay() ? (cl.show.empty() ? Face::Service : Face::Offscreen)
                                    : Face::Desktop;
    const bool headless = face != Face::Desktop;
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");

    Application app(argc, argv);
    Application::setApplicationName(QStringLiteral("Ardentel"));
    // No display name: the window system would append it to every caption ("System Log — Ardentel").
    Application::setQuitOnLastWindowClosed(false);
    QtDialogs desktopDialogs;
    HeadlessDialogs serviceDialogs;
    Dialogs& dialogs = headless ? static_cast<Dialogs&>(serviceDialogs) : desktopDialogs;
    app.setDialogs(&dialogs);

    // Single-instance test: a second copy says so and ends before it touches any file.
    SingleInstance instance;
    switch (instance.acquire()) {
    case SingleInstance::State::AlreadyRunning:
        dialogs.beep();
        (void)dialogs.ask(nullptr, QStringLiteral("Ardentel"), QStringLiteral("Program is already running?"),
                          Dialogs::Buttons::Ok, Dialogs::Icon::None);
        return 0;
    case SingleInstance::State::Unavailable:
        // Unguarded, a second copy could run on the same files.
        dialogs.error(nullptr, QStringLiteral("Ardentel"),
                      QStringLiteral("Not started: cannot take the instance lock %1: %2.")
                          .arg(QString::fromLocal8Bit(instance.path().c_str()),
                               QString::fromLocal8Bit(instance.problem().c_str())));
        return 1;
    case SingleInstance::State::Acquired:
        break;
    }
    // Another receiver (another user's, or the service beside a window) on the same files would
    // overwrite this one's journal; a settings change in progress is waited for.
    DataDirectoryLock dataLock;
    switch (dataLock.acquire(paths.dir, std::chrono::milliseconds(2000))) {
    case DataDirectoryLock::State::InUse:
        dialogs.error(nullptr, QStringLiteral("Ardentel"),
                      QStringLiteral("Not started: the data directory %1 is in use by another receiver.")
                          .arg(QString::fromLocal8Bit(paths.dir.c_str())));
        return 1;
    case DataDirectoryLock::State::Unavailable:
        std::fprintf(stderr, "ardentel: warning: cannot mark %s as in use: %s\n", paths.dir.c_str(),
                     std::strerror(dataLock.osError()));
        break;
    case DataDirectoryLock::State::Acquired:
        break;
    }

    try {
        return runWindow(cl, paths, dialogs, face);
    } catch (const std::exception& e) {
        dialogs.error(nullptr, QStringLiteral("Ardentel"), QString::fromLocal8Bit(e.what()));
    } catch (...) {
        dialogs.error(nullptr, QStringLiteral("Ardentel"), QStringLiteral("An unknown error occurred."));
    }
    return 1;
}

namespace {

// SIGINT and SIGTERM reach the event loop as a readable pipe; `onSignal` runs there.
std::unique_ptr<QSocketNotifier> closeOnTerminationSignal(QObject* context, std::function<void()> onSignal)
{
    if (!watchTerminationSignals())
        return nullptr;
    auto notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, context, [onSignal = std::move(onSignal)] {
        char drain[16];
        while (::read(g_signalPipe[0], drain, sizeof drain) > 0) {
        }
        onSignal();
    });
    return notifier;
}

void printLogLine(const QString& line)
{
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

// The service: the receiver with no window at all. Log lines go to standard output, a message for
// the operator to standard error, and a termination signal closes it in order.
int runService(ReceiverCore& core, Dialogs& dialogs)
{
    QObject::connect(&core, &ReceiverCore::logLine, &core,
                     [](const QString& line, LogColour) { printLogLine(line); });
    QObject::connect(&core, &ReceiverCore::messageRequested, &core, [&dialogs](const QString& text) {
        (void)dialogs.ask(nullptr, QStringLiteral("Ardentel"), text, Dialogs::Buttons::Ok,
                          Dialogs::Icon::Exclamation);
    });
    core.printTrafficLines(stdout);
    core.FormCreate();
    ServiceNotifier service;
    service.readyAfter(core.receiver().timer());
    const auto notifier = closeOnTerminationSignal(&core, [&core, &service] {
        service.stopping();
        core.FormClose();
        QCoreApplication::quit();
    });
    const int status = Application::exec();
    service.stopping();
    core.FormClose();
    return status;
}

// The windows of --show, opened as their menu entry or button would.
std::vector<std::pair<std::string, QWidget*>> openWindows(TMain_Form& main,
                                                          const std::vector<std::string>& names)
{
    std::vector<std::pair<std::string, QWidget*>> shown;
    for (const std::string& name : names) {
        QWidget* window = nullptr;
        if (name == "events") {
            main.Meniu_FailasClick();
            window = main.Form_Events;
        } else if (name == "objects") {
            main.Button1Click();
            window = main.Form_Latest_Events;
        } else if (name == "serial") {
            main.PageControl_Receiver->setCurrentIndex(1);
            main.TabSheet_Mon_Software->Button_Com_SettingsClick();
            window = main.Form_Com_Settings;
        } else if (name == "log") {
            main.ViewSystemLogs1Click();
            window = main.Form_Log;
        } else if (name == "keys") {
            main.AccountKeys1Click();
            window = main.Form_Account_Keys;
        }
        if (window)
            shown.emplace_back(name, window);
    }
    return shown;
}

// FILE for the main window, FILE-NAME.png beside it for each other one.
QString pictureName(const QString& file, const std::string& window)
{
    const qsizetype dot = file.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > file.lastIndexOf(QLatin1Char('/')) ? file.left(dot) : file;
    return stem + QLatin1Char('-') + QString::fromStdString(window) + QStringLiteral(".png");
}

int runDesktop(const CommandLine& cl, ReceiverCore& core, Dialogs& dialogs, bool offscreen)
{
    if (offscreen)
        QObject::connect(&core, &ReceiverCore::logLine, &core,
                         [](const QString& line, LogColour) { printLogLine(line); });
    TMain_Form main(core, dialogs);
    main.FormCreate();
    main.createSecondaryWindows();
    ServiceNotifier service;
    main.installEventFilter(&service); // its close event is the start of an orderly stop
    service.readyAfter(core.receiver().timer());
    // Ctrl+C in a terminal or a stop from the session: the orderly close, with nobody asked.
    const auto notifier = closeOnTerminationSignal(&main, [&main] { main.closeWithDefaultAnswers(); });

    // Centred on the desktop.
    if (QScreen* screen = main.screen()) {
        QRect r = main.frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        main.move(r.topLeft());
    }
    main.show();
    const auto shown = openWindows(main, cl.show);

    if (!cl.screenshot.empty()) {
        const QString file = QString::fromLocal8Bit(cl.screenshot.c_str());
        QTimer::singleShot(cl.screenshotAfterMs, &main, [&main, file, shown] {
            std::vector<std::pair<QString, QWidget*>> pictures{{file, &main}};
            for (const auto& [name, window] : shown)
                pictures.emplace_back(pictureName(file, name), window);
            for (const auto& [name, window] : pictures)
                if (!window->grab().save(name))
                    std::fprintf(stderr, "ardentel: cannot save %s\n", name.toLocal8Bit().constData());
            // Nobody is at the screen to answer a question about the settings.
            main.closeWithDefaultAnswers();
        });
    }
    const int status = Application::exec();
    service.stopping();
    // However the loop ended, the close runs once and in full.
    main.FormClose();
    return status;
}

int runWindow(const CommandLine& cl, const DataPaths& paths, Dialogs& dialogs, Face face)
{
    // Never destroyed: a background thread that outlives the close wait still reads it while the
    // process ends.
    static const SystemClock& clock = *new SystemClock;
    ReceiverCore core(paths, clock);
    return face == Face::Service ? runService(core, dialogs)
                                 : runDesktop(cl, core, dialogs, face == Face::Offscreen);
}

} // namespace
