// Process start-up: command line, open-file limit, single instance, service mode, main window,
// signals, and the application object that turns escaped exceptions into an error box.
#include "app/Application.h"

#include "app/AccountKeysCommand.h"
#include "app/CommandLine.h"
#include "app/DataDirectoryLock.h"
#include "app/ExportEventsCommand.h"
#include "app/MainForm.h"
#include "app/ReceiverCore.h"
#include "app/ServiceNotifier.h"
#include "app/SingleInstance.h"
#include "config/ConfigRecord.h"
#include "config/CoreDumps.h"
#include "config/DataPaths.h"
#include "dc09/Dc09Receiver.h"
#include "store/AccountTable.h"
#include "store/EventStore.h"
#include "store/Journal.h"
#include "ui/AccountKeysForm.h"
#include "ui/ComSettingsForm.h"
#include "ui/Dialogs.h"
#include "ui/EventsForm.h"
#include "ui/LatestEventsForm.h"
#include "ui/LogForm.h"
#include "ui/MonitoringPage.h"
#include "ui/PageTabBar.h"

#include <QDir>
#include <QLineEdit>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
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

// Without --dir the data goes beside the program, which under /usr/bin its user cannot write, and a
// bare "Permission denied" does not say that --dir is the way out.
void hintAtDataDirectory(const CommandLine& cl)
{
    if (cl.dir.empty())
        std::fputs("ardentel: that is the program's own directory, where the data goes without --dir; give "
                   "the receiver a data directory of its own with --dir PATH\n",
                   stderr);
}

// The key as the operator types or pipes it, from standard input: one line, without echo on a
// terminal, so that it never shows in the process list, a shell history or sudo's log.
std::optional<std::string> readKeyFromInput()
{
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    termios saved{};
    const bool quiet = terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::fputs("DC9_AES_Key (hex): ", stderr);
        std::fflush(stderr);
    }
    if (quiet) {
        termios hidden = saved;
        hidden.c_lflag &= tcflag_t(~ECHO);
        (void)::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    }
    std::string line;
    char c = 0;
    bool ended = false;
    // Byte by byte: nothing beyond the line is taken from a shared input.
    while (line.size() <= 256) {
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n') {
            ended = n > 0 || !line.empty();
            break;
        }
        line += c;
    }
    if (quiet) {
        (void)::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    if (!ended || line.size() > 256) {
        ::explicit_bzero(line.data(), line.size());
        return std::nullopt;
    }
    return line;
}

// An account as the Object List keeps it: 1 to 16 hex digits, upper case.
std::optional<std::string> accountNumber(std::string_view text)
{
    if (text.empty() || text.size() >= sizeof(AccountRecord::account))
        return std::nullopt;
    std::string account;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        account += char(std::toupper(static_cast<unsigned char>(c)));
    }
    return account;
}

// --add-account: each account that is not there yet takes a free slot of the table, committed to the
// event log and written to latevn.dat, supervised from the next start like one that has reported.
// Read back from the file, so a write that failed is said.
int addAccounts(const DataPaths& paths, const std::vector<std::string>& accounts)
{
    Journal journal({paths.journal, paths.extended});
    AccountTable table(paths.accounts);
    journal.load();
    table.load();
    EventStore store(paths.eventLog, journal, table);
    if (!store.open()) {
        std::fprintf(stderr, "ardentel: cannot open the event log %s\n", paths.eventLog.c_str());
        return 1;
    }
    for (const std::string& account : accounts) {
        if (table.contains(account)) {
            std::printf("%s is in the Object List already\n", account.c_str());
            continue;
        }
        JournalRecord record{};
        std::memcpy(record.account, account.data(), account.size());
        if (!table.stage(record, "")) {
            std::fprintf(stderr, "ardentel: %s: the Object List is full (%zu accounts)\n", account.c_str(),
                         accounts::kSlots);
            return 1;
        }
    }
    if (const FileFailure f = store.commitNow({}); !f.ok()) {
        std::fprintf(stderr, "ardentel: %s\n", f.text().c_str());
        return 1;
    }
    if (!store.finish(std::chrono::seconds(10))) {
        std::fprintf(stderr, "ardentel: the event log did not finish\n");
        return 1;
    }
    AccountTable written(paths.accounts);
    written.load();
    for (const std::string& account : accounts) {
        if (!written.contains(account)) {
            std::fprintf(stderr, "ardentel: cannot write %s: %s is not in it\n", paths.accounts.c_str(),
                         account.c_str());
            return 1;
        }
    }
    std::printf("Object List: %zu account(s) added or there already\n", accounts.size());
    return 0;
}

int configure(const CommandLine& cl, const DataPaths& paths)
{
    std::vector<std::string> accounts;
    for (const std::string& text : cl.addAccounts) {
        const auto account = accountNumber(text);
        if (!account) {
            std::fprintf(stderr,
                         "ardentel: --add-account: \"%s\" is not 1 to 16 hex digits (nothing changed)\n",
                         text.c_str());
            return 2;
        }
        accounts.push_back(*account);
    }
    // A running receiver would write its own record over the change at its next save, so a change
    // under it is refused rather than lost later without a word.
    DataDirectoryLock lock;
    if (cl.changesFiles()) {
        const auto state = lock.acquire(paths.dir, std::chrono::milliseconds(500));
        if (state == DataDirectoryLock::State::InUse) {
            std::fprintf(stderr,
                         "ardentel: %s is in use by a running receiver: nothing changed (stop it first, "
                         "or change the setting in its window)\n",
                         paths.dir.c_str());
            return 3;
        }
        if (state == DataDirectoryLock::State::NotOwnLock) {
            std::fprintf(stderr,
                         "ardentel: %s belongs to another user or is no plain file (%s): nothing changed; "
                         "run as the receiver's user\n",
                         lock.path().c_str(), std::strerror(lock.osError()));
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
    keepKeyOutOfCoreDumps(record);
    if (!loaded.ok() && !cl.sets.empty()) {
        // A file that could not be read or written as a whole would come back as zeros around the
        // changed field, losing every other setting.
        std::fprintf(stderr, "ardentel: cannot use %s: %s (nothing changed)\n", paths.config.c_str(),
                     std::strerror(loaded.osError));
        hintAtDataDirectory(cl);
        return 1;
    }
    if (!loaded.ok())
        std::fprintf(stderr, "ardentel: warning: %s: %s\n", paths.config.c_str(),
                     std::strerror(loaded.osError));
    if (!cl.sets.empty()) {
        Config_Record changed = record;
        std::optional<std::size_t> keyBytes; // of the key given last, when one is
        for (const auto& [name, value] : cl.sets) {
            std::optional<ConfigFieldError> error;
            if (name == "DC9_AES_Key")
                keyBytes = value.size() / 2;
            if (name == "DC9_AES_Key" && value == "-") {
                std::optional<std::string> key = readKeyFromInput();
                if (!key)
                    error = ConfigFieldError{"DC9_AES_Key: no key line on standard input"};
                else
                    error = setConfigField(changed, name, *key);
                if (key) {
                    keyBytes = key->size() / 2;
                    ::explicit_bzero(key->data(), key->size());
                }
            } else {
                if (name == "DC9_AES_Key" && !value.empty())
                    std::fprintf(stderr,
                                 "ardentel: warning: a key on the command line is seen by other users "
                                 "and kept in shell histories; --set DC9_AES_Key=- reads it from "
                                 "standard input\n");
                error = setConfigField(changed, name, value);
            }
            keepKeyOutOfCoreDumps(changed);
            if (error) {
                std::fprintf(stderr, "ardentel: %s (kalvor.cfg left unchanged)\n", error->message.c_str());
                return 2;
            }
        }
        // The mode may come after the key on the same command line: the two are judged together.
        if (const auto error = keyBytes ? checkKeyForMode(changed, *keyBytes) : std::nullopt) {
            std::fprintf(stderr, "ardentel: %s (kalvor.cfg left unchanged)\n", error->message.c_str());
            return 2;
        }
        const ConfigFileResult saved = Save_Settings(paths.config, changed);
        if (!saved.ok()) {
            std::fprintf(stderr, "ardentel: cannot write %s: %s\n", paths.config.c_str(),
                         std::strerror(saved.osError));
            hintAtDataDirectory(cl);
            return 1;
        }
        const std::vector<SettingChange> changes = describeChanges(record, changed);
        for (const SettingChange& c : changes)
            std::printf("%s: %s -> %s\n", c.name.c_str(), c.before.c_str(), c.after.c_str());
        if (changes.empty())
            std::printf("kalvor.cfg already held these settings: nothing changed\n");
        record = changed;
    }
    if (!accounts.empty()) {
        if (const int status = addAccounts(paths, accounts); status != 0)
            return status;
    }
    if (cl.accountKeysOnly()) {
        if (const int status = runAccountKeysCommand(cl, paths); status != 0)
            return status;
    }
    if (cl.showConfig) {
        for (const auto& [name, value] : describeConfig(record, cl.showSecrets))
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
    // Before anything that would create the directory: the export only reads.
    if (cl.exportEvents)
        return runExportEvents(cl, DataPaths::inDirectory(dir));
    const Face face = cl.headless   ? Face::Service
                      : noDisplay() ? (cl.show.empty() ? Face::Service : Face::Offscreen)
                                    : Face::Desktop;
    // A mistyped --dir would otherwise start a service on a new directory with default settings and
    // its port closed, and nobody would be told: only a settings change, or the desktop program
    // that shows what it made, makes one. A new directory holds the key, so it is closed to other
    // users from the start.
    const bool newDirectory = !QDir(QString::fromLocal8Bit(dir.c_str())).exists();
    if (newDirectory && !cl.changesFiles() && (cl.configOnly() || face == Face::Service)) {
        std::fprintf(stderr,
                     "ardentel: the data directory %s does not exist, and a receiver without a window "
                     "does not make one (a mistyped --dir would start on default settings). Check the "
                     "path, or make the directory with its first settings: ardentel --dir %s --set "
                     "NAME=VALUE\n",
                     dir.c_str(), dir.c_str());
        return 1;
    }
    if (!QDir().mkpath(QString::fromLocal8Bit(dir.c_str()))) {
        std::fprintf(stderr, "ardentel: cannot create the data directory %s\n", dir.c_str());
        return 1;
    }
    if (newDirectory)
        (void)::chmod(dir.c_str(), 0750);
    const DataPaths paths = DataPaths::inDirectory(dir);
    if (cl.configOnly())
        return configure(cl, paths);

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
        // Not started is a failure: a service manager or script must not take it for a clean run.
        return 1;
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
    case DataDirectoryLock::State::NotOwnLock:
        // Another user's receiver may be using the directory; and whoever planted the file is not to
        // decide that this one runs unguarded.
        dialogs.error(nullptr, QStringLiteral("Ardentel"),
                      QStringLiteral("Not started: the lock file %1 is not this user's own file (%2).")
                          .arg(QString::fromLocal8Bit(dataLock.path().c_str()),
                               QString::fromLocal8Bit(std::strerror(dataLock.osError()))));
        return 1;
    case DataDirectoryLock::State::Unavailable:
        std::fprintf(stderr, "ardentel: warning: cannot mark %s as in use: %s\n", paths.dir.c_str(),
                     std::strerror(dataLock.osError()));
        hintAtDataDirectory(cl);
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

// STATUS= for systemd from the start on: why the ports are held closed, or the status panels and the
// day's events.
void reportStatus(ReceiverCore& core, ServiceNotifier& service)
{
    QObject::connect(&core, &ReceiverCore::statusChanged, &service,
                     [&core, &service] { service.status(core.serviceStatus()); });
}

// The service: the receiver with no window at all. Log lines go to standard output, a message for
// the operator to standard error, and a termination signal closes it in order.
int runService(ReceiverCore& core, Dialogs& dialogs)
{
    QObject::connect(&core, &ReceiverCore::logLine, &core, [&core](const QString& line, LogColour) {
        const QByteArray text = line.toLocal8Bit();
        core.printLine(std::string_view(text.constData(), std::size_t(text.size())));
    });
    QObject::connect(&core, &ReceiverCore::messageRequested, &core, [&dialogs](const QString& text) {
        (void)dialogs.ask(nullptr, QStringLiteral("Ardentel"), text, Dialogs::Buttons::Ok,
                          Dialogs::Icon::Exclamation);
    });
    core.printTrafficLines(stdout);
    ServiceNotifier service;
    reportStatus(core, service);
    core.FormCreate();
    // The lines of the start (where the port was opened) are out before systemd hears "ready".
    service.readyAfter(core.receiver().timer(), [&core] { core.flushPrintedLines(); });
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
std::vector<std::pair<std::string, QWidget*>> openWindows(TMain_Form& main, const CommandLine& cl)
{
    std::vector<std::pair<std::string, QWidget*>> shown;
    for (const std::string& name : cl.show) {
        QWidget* window = nullptr;
        if (name == "events") {
            main.Meniu_FailasClick();
            window = main.Form_Events;
            if (!cl.exportAccount.empty() || !cl.exportFrom.empty() || !cl.exportTo.empty()) {
                main.Form_Events->Edit_Filter_Account->setText(QString::fromStdString(cl.exportAccount));
                main.Form_Events->Edit_Filter_From->setText(QString::fromStdString(cl.exportFrom));
                main.Form_Events->Edit_Filter_To->setText(QString::fromStdString(cl.exportTo));
                main.Form_Events->applyFilter();
            }
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
        QObject::connect(&core, &ReceiverCore::logLine, &core, [&core](const QString& line, LogColour) {
            const QByteArray text = line.toLocal8Bit();
            core.printLine(std::string_view(text.constData(), std::size_t(text.size())));
        });
    TMain_Form main(core, dialogs);
    ServiceNotifier service;
    reportStatus(core, service);
    main.FormCreate();
    main.createSecondaryWindows();
    main.installEventFilter(&service); // its close event is the start of an orderly stop
    // The lines of the start (where the port was opened) are out before systemd hears "ready".
    service.readyAfter(core.receiver().timer(), [&core] { core.flushPrintedLines(); });
    // Ctrl+C in a terminal or a stop from the session: the orderly close, with nobody asked.
    const auto notifier = closeOnTerminationSignal(&main, [&main] { main.closeWithDefaultAnswers(); });

    // Centred on the desktop.
    if (QScreen* screen = main.screen()) {
        QRect r = main.frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        main.move(r.topLeft());
    }
    main.show();
    const auto shown = openWindows(main, cl);

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
    core.setDefaultDirectory(cl.dir.empty());
    return face == Face::Service ? runService(core, dialogs)
                                 : runDesktop(cl, core, dialogs, face == Face::Offscreen);
}

} // namespace
