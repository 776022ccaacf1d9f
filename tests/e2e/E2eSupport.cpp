// Helpers of the end-to-end tests: temporary installations and the program run in them.
#include "E2eSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QThread>

namespace e2e {

const WorkedFrame kWorkedFrames[4] = {
    {"\nE25E0015\"NULL\"0001R1L1#1234[]\r", "\nD2770014\"ACK\"0001R1L1#1234[]\r"},
    {"\nE4FA0029\"ADM-CID\"0002R1L1#1234[#1234|1130 01 015]\r", "\nD6730014\"ACK\"0002R1L1#1234[]\r"},
    {"\n15000011\"NULL\"0003#5678[]\r", "\nA6510012\"ACK\"0003L0#5678[]\r"},
    // An unknown token with a correct CRC and length.
    {"\n24980015\"WXYZ\"0004R1L1#1234[]\r", "\n80B6000E\"DUH\"0000L0#[]\r"},
};

QString programPath()
{
    return qEnvironmentVariable("ARDENTEL_BIN");
}

QString senderPath()
{
    return qEnvironmentVariable("DC09_SEND");
}

QString automationSimPath()
{
    return qEnvironmentVariable("AUTOMATION_SIM");
}

namespace {

QProcessEnvironment environmentFor(const QString& runtimeDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("ARDENTEL_RUNTIME_DIR"), runtimeDir);
    return env;
}

} // namespace

RunResult runProgram(const QString& path, const QStringList& arguments, const QString& runtimeDir,
                     int timeoutMs)
{
    RunResult result;
    QProcess process;
    process.setProcessEnvironment(environmentFor(runtimeDir));
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(path, arguments);
    if (!process.waitForStarted(timeoutMs)) {
        return result;
    }
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.output = process.readAll();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

Installation::Installation() = default;

Installation::~Installation()
{
    if (running()) {
        terminate(10000);
    }
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished();
    }
}

bool Installation::configure(quint16 port, const QStringList& moreSettings)
{
    QStringList arguments{QStringLiteral("--dir"), dir(),
                          QStringLiteral("--set"), QStringLiteral("DC9_Port_Enable=1"),
                          QStringLiteral("--set"), QStringLiteral("DC9_Port=%1").arg(port)};
    for (const QString& setting : moreSettings) {
        arguments << QStringLiteral("--set") << setting;
    }
    const RunResult r = runProgram(programPath(), arguments, runtimeDir());
    return r.finished && r.exitCode == 0;
}

bool Installation::start(const QString& readyLine)
{
    m_process = std::make_unique<QProcess>();
    m_process->setProcessEnvironment(environmentFor(runtimeDir()));
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(m_process.get(), &QProcess::readyRead, m_process.get(),
                     [this] { m_output += m_process->readAll(); });
    // After a restart the earlier run's lines are still in m_output: only this run's count.
    const qsizetype from = m_output.size();
    m_process->start(programPath(), {QStringLiteral("--headless"), QStringLiteral("--dir"), dir()});
    if (!m_process->waitForStarted(10000)) {
        return false;
    }
    const QByteArray text = readyLine.toUtf8();
    return waitUntil([&] { return m_output.indexOf(text, from) >= 0 || !running(); }, 15000) &&
           m_output.indexOf(text, from) >= 0;
}

bool Installation::startDesktop(const QString& readyLine)
{
    m_process = std::make_unique<QProcess>();
    QProcessEnvironment env = environmentFor(runtimeDir());
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":0"));
    m_process->setProcessEnvironment(env);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(m_process.get(), &QProcess::readyRead, m_process.get(),
                     [this] { m_output += m_process->readAll(); });
    m_process->start(programPath(), {QStringLiteral("--dir"), dir()});
    if (!m_process->waitForStarted(10000)) {
        return false;
    }
    const QByteArray text = readyLine.toUtf8();
    return waitUntil([&] { return logFile().contains(text) || !running(); }, 15000) &&
           logFile().contains(text);
}

QByteArray Installation::logFile() const
{
    const QStringList logs = QDir(dir()).entryList({QStringLiteral("kalvor_*.log")}, QDir::Files, QDir::Name);
    if (logs.isEmpty()) {
        return {};
    }
    QFile f(file(logs.last()));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool Installation::running() const
{
    return m_process && m_process->state() == QProcess::Running;
}

qint64 Installation::pid() const
{
    return running() ? m_process->processId() : 0;
}

bool Installation::waitForOutput(const QByteArray& text, int timeoutMs)
{
    return waitUntil([&] { return m_output.contains(text) || !running(); }, timeoutMs) &&
           m_output.contains(text);
}

int Installation::terminate(int timeoutMs)
{
    if (!m_process) {
        return -1;
    }
    m_process->terminate(); // SIGTERM: the program closes in order
    const bool ended = waitUntil([&] { return m_process->state() == QProcess::NotRunning; }, timeoutMs);
    m_output += m_process->readAll();
    if (!ended) {
        m_process->kill();
        m_process->waitForFinished();
        return -1;
    }
    return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
}

void Installation::kill()
{
    if (!m_process) {
        return;
    }
    m_process->kill();
    m_process->waitForFinished(10000);
    m_output += m_process->readAll();
}

AutomationSim::AutomationSim() = default;

AutomationSim::~AutomationSim()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished();
    }
}

bool AutomationSim::start(const QStringList& arguments)
{
    if (!m_dir.isValid()) {
        return false;
    }
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(m_process.get(), &QProcess::readyRead, m_process.get(),
                     [this] { m_output += m_process->readAll(); });
    m_process->start(automationSimPath(), arguments + QStringList{QStringLiteral("--record"),
                                                                  m_dir.filePath(QStringLiteral("lines"))});
    if (!m_process->waitForStarted(10000)) {
        return false;
    }
    if (arguments.contains(QStringLiteral("--listen"))) {
        // The receiver may try to connect the moment it starts: be listening before that.
        return waitUntil([&] { return m_output.contains("listening on port") || !running(); }) && running();
    }
    return running();
}

bool AutomationSim::running() const
{
    return m_process && m_process->state() == QProcess::Running;
}

QList<QByteArray> AutomationSim::lines() const
{
    QFile file(m_dir.filePath(QStringLiteral("lines")));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QList<QByteArray> out = file.readAll().split('\n');
    out.removeLast(); // what follows the last newline: empty, or a line still being written
    return out;
}

bool AutomationSim::waitForLines(int count, int timeoutMs)
{
    return waitUntil([&] { return lines().size() >= count || !running(); }, timeoutMs) &&
           lines().size() >= count;
}

qint64 AutomationSim::pid() const
{
    return running() ? m_process->processId() : 0;
}

QByteArray AutomationSim::output()
{
    if (m_process) {
        m_output += m_process->readAll();
    }
    return m_output;
}

int AutomationSim::finish(int timeoutMs)
{
    if (!m_process) {
        return -1;
    }
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
    }
    const bool ended = waitUntil([&] { return m_process->state() == QProcess::NotRunning; }, timeoutMs);
    m_output += m_process->readAll();
    if (!ended) {
        m_process->kill();
        m_process->waitForFinished();
        return -1;
    }
    return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
}

QByteArray exchange(QTcpSocket& panel, const QByteArray& frame)
{
    panel.write(frame);
    QByteArray answer;
    waitUntil([&] {
        answer += panel.readAll();
        return answer.endsWith('\r');
    });
    return answer;
}

} // namespace e2e
