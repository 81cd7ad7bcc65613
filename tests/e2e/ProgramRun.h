// A program of this build run by a test as a user runs it: started with its
// arguments, fed on standard input, its output and errors collected while
// the test's event loop runs, and stopped by the test at the end.
#pragma once

#include "tests/e2e/WindowFixture.h"

#include <QProcess>

#include <csignal>

namespace vh::e2e {

class ProgramRun
{
public:
    explicit ProgramRun(const QString& program) : m_program(program)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { m_out += m_process.readAllStandardOutput(); });
        QObject::connect(&m_process, &QProcess::readyReadStandardError,
                         [this] { m_err += QString::fromUtf8(m_process.readAllStandardError()); });
    }
    ~ProgramRun()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    void SetEnvironment(const QString& name, const QString& value)
    {
        QProcessEnvironment environment = m_process.processEnvironment();
        if (environment.isEmpty())
            environment = QProcessEnvironment::systemEnvironment();
        environment.insert(name, value);
        m_process.setProcessEnvironment(environment);
    }

    // Standard input and output on a terminal, as when an operator starts the
    // program at a shell prompt; standard error stays with the test.
    void SetTerminal(const QString& path)
    {
        m_process.setStandardInputFile(path);
        m_process.setStandardOutputFile(path, QIODevice::Append);
    }

    ::testing::AssertionResult Start(const QStringList& arguments)
    {
        m_process.start(m_program, arguments);
        if (!m_process.waitForStarted(10000))
            return ::testing::AssertionFailure() << "cannot start " << m_program.toStdString();
        return ::testing::AssertionSuccess();
    }
    void Write(const QByteArray& bytes) { m_process.write(bytes); }
    void CloseInput() { m_process.closeWriteChannel(); }
    void Signal(int signalNumber) { ::kill(pid_t(m_process.processId()), signalNumber); }

    bool Running() const { return m_process.state() != QProcess::NotRunning; }
    // The exit status once it has ended by itself within `limitMs`, else -1
    // (ended by a signal, or still running).
    int Finish(int limitMs = 60000)
    {
        if (!WaitFor([&] { return !Running(); }, limitMs))
            return -1;
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    const QByteArray& Out() const { return m_out; }
    const QString& Err() const { return m_err; }
    QStringList ErrLines() const { return m_err.split('\n'); }

private:
    QString m_program;
    QProcess m_process;
    QByteArray m_out;
    QString m_err;
};

} // namespace vh::e2e
