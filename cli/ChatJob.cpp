#include "cli/ChatJob.h"

#include "cli/ExitStatus.h"
#include "cli/RawTerminal.h"

#include "frontend/Reactions.h"
#include "frontend/TypedText.h"

namespace vh::cli {

namespace {

// Typed or piped bytes held before standard input is read no further, and
// the line's bytes held for standard output before the port is read no
// further: either way the faster side waits for the slower one.
constexpr qsizetype kInputHighWater = 65536;
constexpr qsizetype kOutputHighWater = 262144;
constexpr int kCheckMs = 20;

} // namespace

ChatJob::ChatJob(qv::QvSerialPort& port, qv::QvPhone& phone, Report& report, int in, int out,
                 Finished finished)
    : m_port(port), m_phone(phone), m_report(report), m_in(in), m_out(out), m_finished(std::move(finished)),
      m_terminal(IsTerminal(in))
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
