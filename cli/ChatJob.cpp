#include "cli/ChatJob.h"

#include "cli/ExitStatus.h"
#include "cli/RawTerminal.h"

#include "frontend/Reactions.h"
#include "frontend/TypedText.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <utility>

namespace vh::cli {

namespace {

// Typed or piped bytes held before standard input is read no further, and
// the line's bytes held for standard output before the port is read no
// further: either way the faster side waits for the slower one.
constexpr qsizetype kInputHighWater = 65536;
constexpr qsizetype kOutputHighWater = 262144;
constexpr int kCheckMs = 20;
// A line of names for a waiting receiver: longer than any list of names a
// person types.
constexpr qsizetype kMaxNameLine = 16384;

constexpr char kCtrlC = 0x03;
constexpr char kBackspace = 0x08;
constexpr char kEsc = 0x1B;
constexpr char kDelete = 0x7F;

// The names in a line typed for a waiting receiver, as full names.
QStringList NamesOf(const QString& line)
{
    QStringList names;
    for (QString name : QProcess::splitCommand(line)) {
        if (name == QLatin1String("~") || name.startsWith(QLatin1String("~/")))
            name = QDir::homePath() + name.mid(1);
        names << QFileInfo(name).absoluteFilePath();
    }
    return names;
}

} // namespace

ChatJob::ChatJob(qv::QvSerialPort& port, qv::QvPhone& phone, Report& report, int in, int out,
                 Finished finished)
    : m_port(port), m_phone(phone), m_report(report), m_in(in), m_out(out), m_finished(std::move(finished)),
      m_terminal(IsTerminal(in)), m_gate([this](const QByteArray& held) { GateOpened(held); })
{
    m_sentCheck.SetInterval(kCheckMs);
    QObject::connect(&m_sentCheck, &ClockTimer::Timeout, [this] { CheckSent(); });
    QObject::connect(&m_flushLimit, &ClockTimer::Timeout, [this] {
        m_flushLimit.Stop();
        if (auto done = std::move(m_flushed)) {
            m_flushed = nullptr;
            done();
        }
    });
}

ChatJob::~ChatJob()
{
    if (m_started)
        m_port.SetOnReceiveData(nullptr);
}

void ChatJob::PortOpened()
{
    if (m_started)
        return;
    m_started = true;
    m_output = std::make_unique<OutputStream>(
        m_out,
        [this] {
            if (!m_port.MonitorReceiveData() && m_port.IsOpened())
                m_port.SetMonitorReceiveData(true);
            if (auto done = std::move(m_flushed)) {
                m_flushed = nullptr;
                m_flushLimit.Stop();
                done();
            }
        },
        [this](int) {
            Finish({exitstatus::WorkFailed, QStringLiteral("standard output cannot be written")});
        });
    m_input = std::make_unique<InputStream>(
        m_in, [this](const QByteArray& bytes) { Typed(bytes); },
        [this](int osError) { InputEnded(osError); });
    m_sender = std::make_unique<PacedSender>(
        [this] { return m_port.IsOpened() ? m_port.OutQueueFree() : 0; },
        [this](const QByteArray& bytes) { return m_port.SendData(bytes.constData(), int(bytes.size())); },
        [this](int code) {
            const QString message = m_port.GetErrorMessage(code);
            m_report.Log(ErrorLine(message));
            Finish({exitstatus::WorkFailed, QStringLiteral("%1 (code %2)").arg(message).arg(code)});
        });
    m_port.SetOnReceiveData(
        [this](qv::TComponent*, char* data, int size, qv::WindowHandle&) { Received(data, size); });

    if (m_output->Start() != 0 || m_input->Start() != 0) {
        Finish(
            {exitstatus::LineUnusable, QStringLiteral("the standard streams cannot be used for the chat")});
        return;
    }
    if (m_terminal) {
        m_raw = std::make_unique<RawTerminal>(m_in, RawTerminal::Mode::Input);
        m_report.Message(QStringLiteral("connected; Ctrl-] hangs up"));
    }
}

void ChatJob::Typed(const QByteArray& bytes)
{
    if (m_done)
        return;
    if (m_answer) {
        TypedName(bytes);
        return;
    }
    if (m_gate.Closed()) {
        // A byte that went out now would land in the middle of the
        // transfer's frames, or in the sender's last read.
        if (m_terminal && bytes.contains(kEscapeKey)) {
            Finish({exitstatus::Success, QString()});
            return;
        }
        if (m_terminal && m_gate.TransferRunning()) {
            if (!m_keysTold) {
                m_keysTold = true;
                m_report.Message(QStringLiteral("keys are not sent while files are moving; Ctrl-] hangs up"));
            }
            return;
        }
        m_gate.Hold(bytes);
        if (!m_terminal)
            m_input->SetPaused(true);
        return;
    }
    QByteArray out;
    QByteArray echo;
    const qv::TLineTraits traits = m_phone.LineTraits();
    for (const char c : bytes) {
        // Only a terminal has keys; from a pipe every byte is data.
        if (m_terminal && c == kEscapeKey) {
            m_sender->Send(out);
            Finish({exitstatus::Success, QString()});
            return;
        }
        if (m_terminal && c == '\r') {
            out += EnterBytes(EnterSends::AsLineAsks, traits);
            echo += "\r\n";
        } else {
            out += c;
            echo += c;
        }
    }
    m_sender->Send(out);
    if (m_terminal && ShowsTypedText(true, traits))
        m_output->Write(echo);
    if (m_sender->Pending() > kInputHighWater) {
        m_input->SetPaused(true);
        m_sentCheck.Start();
    }
}

void ChatJob::InputEnded(int osError)
{
    m_inputEnded = true;
    if (osError != 0 && !m_done) {
        Finish({exitstatus::WorkFailed, QStringLiteral("standard input cannot be read")});
        return;
    }
    m_sentCheck.Start();
    CheckSent();
}

void ChatJob::CheckSent()
{
    if (m_gate.Closed()) {
        m_sentCheck.Stop(); // the gate's opening looks again
        return;
    }
    if (m_done || m_sender->Pending() > kInputHighWater / 4)
        return;
    if (!m_inputEnded) {
        m_sentCheck.Stop();
        m_input->SetPaused(false);
        return;
    }
    // The chat from a pipe or a file is over once all of it has gone out.
    if (m_sender->Pending() == 0)
        Finish({exitstatus::Success, QString()});
}

void ChatJob::TransferEnded()
{
    if (!m_done && m_started)
        m_gate.TransferEnded();
}

void ChatJob::GateOpened(const QByteArray& held)
{
    m_keysTold = false;
    if (m_done)
        return;
    if (!held.isEmpty())
        Typed(held);
    // Unpauses the input, or ends a chat whose input has all gone.
    m_sentCheck.Start();
    CheckSent();
}

void ChatJob::AskForFiles(Answer answer)
{
    if (m_done || !m_started)
        return;
    if (!m_terminal) {
        m_report.Message(QStringLiteral("the far side waits for files, and a chat from a pipe has nobody to "
                                        "name them"));
        answer({});
        return;
    }
    m_answer = std::move(answer);
    m_name.clear();
    m_escape = 0;
    m_report.Message(QStringLiteral("the far side waits for files: type their names and Enter (Enter alone "
                                    "sends none)"));
    m_output->Write("> ");
}

void ChatJob::TypedName(const QByteArray& bytes)
{
    for (const char c : bytes) {
        if (c == kEscapeKey) {
            m_answer = nullptr;
            m_output->Write("\r\n");
            Finish({exitstatus::Success, QString()});
            return;
        }
        // Keys that send escape sequences (arrows, function keys) type nothing.
        if (m_escape == 1) {
            m_escape = c == '[' || c == 'O' ? 2 : 0;
            continue;
        }
        if (m_escape == 2) {
            if (uchar(c) >= 0x40 && uchar(c) <= 0x7E)
                m_escape = 0;
            continue;
        }
        if (c == '\r' || c == '\n' || c == kCtrlC) {
            m_output->Write("\r\n");
            const QString line = c == kCtrlC ? QString() : QString::fromLocal8Bit(m_name);
            m_name.clear();
            Answer answer = std::exchange(m_answer, nullptr);
            answer(NamesOf(line));
            return; // what follows Enter was typed before the question was answered
        }
        if (c == kDelete || c == kBackspace) {
            // One character off, however many bytes it took.
            qsizetype end = m_name.size();
            while (end > 0 && (uchar(m_name[end - 1]) & 0xC0) == 0x80)
                --end;
            if (end > 0) {
                m_name.truncate(end - 1);
                m_output->Write("\b \b");
            }
            continue;
        }
        if (c == kEsc) {
            m_escape = 1;
            continue;
        }
        if (uchar(c) < 0x20 || m_name.size() >= kMaxNameLine)
            continue;
        m_name += c;
        m_output->Write(QByteArray(1, c));
    }
}

void ChatJob::Received(const char* data, int size)
{
    m_output->Write(QByteArray(data, size));
    if (m_output->Pending() > kOutputHighWater)
        m_port.SetMonitorReceiveData(false);
    // Only what reaches the chat is searched, as in the window's terminal.
    if (!m_done && m_noCarrier.Feed(data, size)) {
        m_report.Log(NoCarrierLine());
        Finish({exitstatus::Success, QString()});
    }
}

void ChatJob::Flush(int limitMs, std::function<void()> done)
{
    if (m_input)
        m_input->SetPaused(true);
    if (m_raw)
        m_raw->Restore();
    if (!m_output || m_output->Pending() == 0 || m_output->Failed()) {
        done();
        return;
    }
    m_flushed = std::move(done);
    m_flushLimit.SetInterval(limitMs);
    m_flushLimit.Start();
}

void ChatJob::Finish(const JobResult& result)
{
    if (m_done)
        return;
    m_done = true;
    m_sentCheck.Stop();
    if (m_input)
        m_input->SetPaused(true);
    // The terminal is the operator's again before anything else is said.
    if (m_raw)
        m_raw->Restore();
    if (m_finished)
        m_finished(result);
}

} // namespace vh::cli
