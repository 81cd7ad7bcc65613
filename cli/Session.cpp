#include "cli/Session.h"

#include "cli/ChatJob.h"
#include "cli/ExitStatus.h"
#include "cli/RawTerminal.h"
#include "cli/StdioCall.h"
#include "cli/Streams.h"

#include "common/ErrorCodes.h"
#include "frontend/FormComponents.h"
#include "frontend/InstanceLock.h"
#include "frontend/Reactions.h"
#include "frontend/SignalWatcher.h"
#include "serial/ComMap.h"

#include <QTimer>

namespace vh::cli {

namespace {

// The phone's own request time-out (10 s) and a drop that goes through the
// modem's escape sequence both fit in this.
constexpr int kHangUpLimitMs = 20000;
// How long what came last may take to reach standard output at the end.
constexpr int kFlushLimitMs = 5000;

constexpr int kCallDisconnected = 161;
// The phone's codes for a call that did not go through (refused,
// unreachable, unanswered), given with csBusy.
constexpr int kNoAnswerCode = 167;

qv::TBaudRate BaudRateOf(int speed)
{
    static constexpr std::pair<int, qv::TBaudRate> kRates[] = {
        {110, qv::br110},     {300, qv::br300},     {600, qv::br600},      {1200, qv::br1200},
        {2400, qv::br2400},   {4800, qv::br4800},   {9600, qv::br9600},    {19200, qv::br19200},
        {38400, qv::br38400}, {57600, qv::br57600}, {115200, qv::br115200}};
    for (const auto& [bps, rate] : kRates)
        if (bps == speed)
            return rate;
    return qv::br115200;
}

} // namespace

Session::Session(const Options& options, Report& report, const QString& settingsFolder)
    : m_options(options), m_report(report), m_settingsFolder(settingsFolder)
{
    const bool onLine = options.command == Command::Dial || options.command == Command::Answer;
    if (onLine) {
        m_phone = std::make_unique<qv::QvPhone>();
        SetFormProperties(*m_phone);
        m_phone->SetOnLineState(
            [this](qv::QvPhone*, qv::TLineState state, int param1) { LineState(state, param1); });
        m_phone->SetOnCallState(
            [this](qv::QvPhone*, qv::TCallState state, int param1, int, int) { CallState(state, param1); });
        m_phone->SetOnBeforeDisconnect([this](qv::QvPhone*, int) {
            if (m_transfer)
                m_transfer->Stop(QStringLiteral("the call ended"));
            m_port->Close();
        });
    } else if (options.device.isEmpty()) {
        m_stdio = std::make_unique<StdioCall>(0, 1);
        m_stdio->SetOnEnded([this] {
            m_streamsEnded = true;
            // Not stopped here: what came last may still be on its way to
            // the port, a closing ZFIN among it.
            if (m_transfer)
                m_transfer->NoteStopReason(QStringLiteral("the standard streams ended"));
        });
    }

    m_port = std::make_unique<qv::QvSerialPort>();
    SetFormProperties(*m_port, m_phone.get());
    if (m_stdio)
        m_port->SetLinkedTo(m_stdio.get());
    m_port->SetOnPortState(
        [this](qv::TComponent*, qv::TPortState state, int param1) { PortState(state, param1); });

    m_file = std::make_unique<qv::QvFile>();
    SetFormProperties(*m_file, *m_port);
    m_file->Transfer().SetReceiveFolder(options.folder);
    m_file->Transfer().SetReceiveExistingFiles(options.existing);

    const auto finished = [this](const JobResult& result) { WorkFinished(result); };
    if (options.work == Work::Chat) {
        m_chat = std::make_unique<ChatJob>(*m_port, *m_phone, m_report, 0, 1, finished);
        // As in the window's terminal: what the far side sends with ZMODEM is
        // received, and a receiver it starts is offered files. Without a
        // folder to receive into, the chat is only a chat.
        if (!options.folder.isEmpty()) {
            m_transfer = std::make_unique<TransferJob>(
                *m_file, m_report, QStringList(),
                [this](const JobResult& result) { ChatTransferEnded(result); },
                TransferJob::Span::EveryOperation);
            m_chat->SetTransferRunning([this] { return m_transfer->Running(); });
            m_file->SetOnRemoteReceiverReady([this](qv::QvFile*) { RemoteWaitsForFiles(); });
        }
    } else {
        m_transfer = std::make_unique<TransferJob>(
            *m_file, m_report, options.work == Work::Send ? options.files : QStringList(), finished);
    }

    QObject::connect(&m_waitLimit, &ClockTimer::Timeout, this, [this] {
        m_waitLimit.Stop();
        if (m_step != Step::WaitingForCall)
            return;
        Fail(exitstatus::NoAnswer, m_options.command == Command::Dial
                                       ? QStringLiteral("no answer within %1 s").arg(m_options.waitSeconds)
                                       : QStringLiteral("no call within %1 s").arg(m_options.waitSeconds));
        EndCall();
    });
    QObject::connect(&m_hangUpLimit, &ClockTimer::Timeout, this, [this] {
        m_hangUpLimit.Stop();
        if (m_step != Step::HangingUp)
            return;
        m_report.Message(
            QStringLiteral("the line did not confirm the hang-up within %1 s").arg(kHangUpLimitMs / 1000));
        Flush();
    });
}

Session::~Session()
{
    // The work lets go of the components' events first (a chat's listening
    // gives the port's data back to the chat first, which lets go of it);
    // then the transfer goes before its port, the port before the call it
    // runs on.
    if (m_chat && m_transfer) {
        m_file->SetOnRemoteReceiverReady(nullptr);
        m_transfer.reset();
        m_file->ListenMode(false);
    }
    m_chat.reset();
    m_transfer.reset();
    m_file.reset();
    m_port.reset();
    m_phone.reset();
    m_stdio.reset();
}

QString Session::Coded(const QString& message, int code) const
{
    return QStringLiteral("%1 (code %2)").arg(message).arg(code);
}

void Session::Start(std::function<void(int status)> finished)
{
    m_finished = std::move(finished);
    if (m_phone)
        StartOnLine();
    else
        StartWithoutLine();
}

void Session::StartOnLine()
{
    // A copy of the window on the same settings folder owns its lines.
    m_lock = std::make_unique<InstanceLock>(m_settingsFolder);
    if (!m_lock->Held()) {
        Fail(exitstatus::LineUnusable,
             QStringLiteral("another copy of the program uses the lines of %1").arg(m_settingsFolder));
        return Finish();
    }
    const int line = m_options.line;
    if (const int code = m_phone->LineActive(line, true); code != 0) {
        QString name;
        m_phone->GetLineName(line, name);
        QString text = LineActivationError(
            name, WithLineFailure(m_phone->GetErrorMessage(code), m_phone->LineFailureText(line)));
        Fail(exitstatus::LineUnusable, Coded(text.replace(QStringLiteral("\r\n\r\n"), QStringLiteral("\n"))
                                                 .replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
                                             code));
        return Finish();
    }
    if (m_transfer && m_options.work == Work::Receive) {
        if (const int code = m_transfer->Listen(); code != 0) {
            Fail(exitstatus::LineUnusable, Coded(m_file->GetErrorMessage(code), code));
            return EndCall();
        }
    }
    m_step = Step::WaitingForCall;
    if (m_options.waitSeconds > 0) {
        m_waitLimit.SetInterval(m_options.waitSeconds * 1000);
        m_waitLimit.Start();
    }
    if (m_options.command == Command::Dial) {
        if (const int code = m_phone->DialNumber(m_options.number.toUtf8(), 0); code != 0) {
            const QString message = m_phone->GetErrorMessage(code);
            m_report.Log(ErrorLine(message));
            Fail(exitstatus::NotCompleted, Coded(message, code));
            return EndCall();
        }
        m_callPlaced = true;
    }
}

void Session::StartWithoutLine()
{
    if (m_stdio) {
        // The transfer is on the terminal this program runs on: not a byte of
        // progress may go into it, and the terminal must pass every byte.
        m_report.SetSilent(IsTerminal(2) && (SameFile(2, 0) || SameFile(2, 1)));
        if (IsTerminal(0))
            m_raw = std::make_unique<RawTerminal>(0, RawTerminal::Mode::Full);
        if (const int osError = m_stdio->Start(); osError != 0) {
            int code = osError;
            qv::OSErrorToErrorCode(code);
            Fail(exitstatus::LineUnusable,
                 QStringLiteral("the standard streams cannot carry the transfer: %1")
                     .arg(m_port->GetErrorMessage(code)));
            return Finish();
        }
    } else {
        qv::ComMap::SetDevicePath(1, m_options.device);
        qv::TManualSettings& settings = m_port->ManualSettings();
        settings.SetPort(qv::pnCOM1);
        settings.SetBaudRate(BaudRateOf(m_options.speed));
        settings.SetHardwareFlow(m_options.flow == Flow::RtsCts ? qv::hfRTSCTS : qv::hfNone);
        settings.SetSoftwareFlow(m_options.flow == Flow::XonXoff ? qv::sfXONXOFF : qv::sfNone);
    }
    if (m_transfer && m_options.work == Work::Receive) {
        if (const int code = m_transfer->Listen(); code != 0) {
            Fail(exitstatus::LineUnusable, Coded(m_file->GetErrorMessage(code), code));
            return Finish();
        }
    }
    m_step = Step::OpeningPort;
    if (const int code = m_port->Open(0); code != 0) {
        const QString what = m_stdio ? QStringLiteral("the standard streams") : m_options.device;
        QString message = Coded(m_port->GetErrorMessage(code), code);
        // The port's code says that the device could not be had; the system
        // says why (no such device, no permission, held by another program).
        if (int cause = m_port->LastSystemError(); cause != 0) {
            qv::OSErrorToErrorCode(cause);
            message += QStringLiteral(": ") + m_port->GetErrorMessage(cause);
        }
        Fail(exitstatus::LineUnusable, QStringLiteral("cannot open %1: %2").arg(what, message));
        return Finish();
    }
}

void Session::LineState(qv::TLineState state, int param1)
{
    if (const auto reaction = LineStateReaction(state, m_phone->GetErrorMessage(param1)))
        m_report.Log(reaction->log);
    // The service closed the line (a modem that would not come up, a device
    // that went away): no call is left, and the line says why.
    if (state == qv::lsDeactivated && param1 == 0 && m_step > Step::Starting && m_step < Step::HangingUp) {
        const QString failure = m_phone->LineFailureText(m_options.line);
        if (!failure.isEmpty())
            m_report.Log(ErrorLine(failure));
        Fail(exitstatus::LineUnusable, failure.isEmpty() ? QStringLiteral("the line was closed")
                                                         : QStringLiteral("the line was closed: ") + failure);
        EndCall();
    }
}

void Session::CallState(qv::TCallState state, int param1)
{
    if (const auto reaction = CallStateReaction(state, param1, m_phone->GetErrorMessage(param1)))
        m_report.Log(reaction->log);
    switch (state) {
    case qv::csRing:
        if (m_step == Step::WaitingForCall && m_options.command == Command::Answer &&
            DecideRing(param1, QString::number(m_options.rings), true).answer) {
            if (const int code = m_phone->Answer(0); code != 0) {
                const QString message = m_phone->GetErrorMessage(code);
                m_report.Log(ErrorLine(message));
                Fail(exitstatus::NotCompleted, Coded(message, code));
                EndCall();
            } else {
                m_callPlaced = true;
            }
        }
        break;
    case qv::csConnected:
        if (m_step != Step::WaitingForCall)
            break;
        m_waitLimit.Stop();
        m_step = Step::OpeningPort;
        if (const int code = m_port->Open(0); code != 0) {
            const QString message = m_port->GetErrorMessage(code);
            m_report.Log(ErrorLine(message));
            Fail(exitstatus::LineUnusable, Coded(message, code));
            EndCall();
        }
        break;
    case qv::csBusy:
    case qv::csNoDialTone:
    case qv::csError:
    case qv::csRemotePartyDisconnected:
        // A caller that gives up before being answered leaves us waiting
        // for the next call.
        if (!m_callPlaced)
            break;
        if (m_step == Step::WaitingForCall || m_step == Step::OpeningPort)
            CallDidNotGoThrough(state, param1);
        else if (m_step == Step::Working && state == qv::csRemotePartyDisconnected)
            m_step = Step::HangingUp; // the phone hangs up by itself
        break;
    case qv::csDisconnected:
        if (m_step >= Step::Flushing || (!m_callPlaced && m_step == Step::WaitingForCall))
            break;
        m_waitLimit.Stop();
        m_hangUpLimit.Stop();
        // A chat that the far side ended has done what it was for; anything
        // else that had not finished has not been done.
        if (!m_workDone) {
            if (m_chat && m_step >= Step::Working)
                m_workDone = true;
            else
                Fail(exitstatus::WorkFailed, m_transfer && m_options.work == Work::Send
                                                 ? QStringLiteral("the call ended before the files were sent")
                                                 : QStringLiteral("the call ended before the work was done"));
        }
        Flush();
        break;
    default:
        break;
    }
}

void Session::CallDidNotGoThrough(qv::TCallState state, int param1)
{
    m_waitLimit.Stop();
    switch (state) {
    case qv::csBusy:
        if (param1 == 0)
            Fail(exitstatus::Busy, QStringLiteral("the far side is busy"));
        else
            Fail(param1 == kNoAnswerCode ? exitstatus::NoAnswer : exitstatus::NotCompleted,
                 Coded(m_phone->GetErrorMessage(param1), param1));
        break;
    case qv::csNoDialTone:
        Fail(exitstatus::NotCompleted, QStringLiteral("no dial tone"));
        break;
    case qv::csError:
        Fail(exitstatus::NotCompleted, Coded(m_phone->GetErrorMessage(param1), param1));
        break;
    default:
        Fail(exitstatus::NotCompleted, QStringLiteral("the call did not go through"));
        break;
    }
    // With AutoDisconnect the phone is hanging up already; Hangup then
    // changes nothing.
    EndCall();
}

void Session::PortState(qv::TPortState state, int param1)
{
    switch (state) {
    case qv::psOpened:
        if (m_step != Step::OpeningPort)
            break;
        m_step = Step::Working;
        if (!m_chat) {
            m_transfer->PortOpened();
            break;
        }
        m_chat->PortOpened();
        // Listening takes the port's data from the chat and hands it the text.
        if (m_transfer && m_step == Step::Working) {
            if (const int code = m_transfer->Listen(); code != 0)
                m_report.Message(QStringLiteral("files the far side sends are not received: %1")
                                     .arg(Coded(m_file->GetErrorMessage(code), code)));
        }
        break;
    case qv::psClosed:
        // A port that closed by itself (its device or the call's channel
        // went) leaves no transfer waiting on it.
        if (m_transfer)
            m_transfer->Stop(m_streamsEnded ? QStringLiteral("the standard streams ended")
                                            : QStringLiteral("the port closed"));
        break;
    case qv::psError:
        m_report.Log(ErrorLine(m_port->GetErrorMessage(param1)));
        if (m_step == Step::OpeningPort) {
            Fail(exitstatus::LineUnusable, Coded(m_port->GetErrorMessage(param1), param1));
            EndCall();
        } else if (!m_phone && m_step == Step::Working && !m_workDone) {
            // Without a line the port is the connection: its end is the end.
            Fail(exitstatus::WorkFailed, m_streamsEnded ? QStringLiteral("the standard streams ended first")
                                                        : Coded(m_port->GetErrorMessage(param1), param1));
            EndCall();
        }
        break;
    }
}

void Session::WorkFinished(const JobResult& result)
{
    m_workDone = true;
    if (result.status != exitstatus::Success)
        Fail(result.status, result.message);
    // Ended from inside the component's own event: hanging up can wait for
    // the event to return.
    QTimer::singleShot(0, this, [this] { EndCall(); });
}

void Session::ChatTransferEnded(const JobResult& result)
{
    // The chat goes on; a file that did not make it is what the exit
    // status will say.
    if (result.status != exitstatus::Success)
        Fail(result.status, result.message);
    m_chat->TransferEnded();
}

void Session::RemoteWaitsForFiles()
{
    m_report.Log(RemoteWaitingLine());
    m_chat->AskForFiles([this](const QStringList& names) { SendNamedFiles(names); });
}

void Session::SendNamedFiles(const QStringList& names)
{
    // While the names were typed the call may have ended, or the far side
    // may have started to send after all.
    if (m_step != Step::Working)
        return;
    if (m_transfer->Running()) {
        m_report.Message(QStringLiteral("no file sent: the far side is sending already"));
        return;
    }
    QStringList sendable;
    for (const QString& name : names) {
        if (const QString problem = SendableProblem(name); !problem.isEmpty())
            m_report.Message(problem);
        else
            sendable << name;
    }
    if (!sendable.isEmpty() && m_transfer->Send(sendable))
        return;
    // Told no, the far side's receiver ends instead of waiting.
    if (const int code = m_file->CancelRemoteReceiver(); code != 0)
        m_report.Log(TransferErrorLine(m_file->GetErrorMessage(code)));
    m_report.Message(QStringLiteral("no file sent; the far side's receiver was cancelled"));
}

void Session::Fail(int status, const QString& message)
{
    if (m_failed)
        return;
    m_failed = true;
    m_status = status;
    m_message = message;
}

void Session::EndCall()
{
    if (m_step >= Step::Flushing)
        return;
    if (m_transfer && m_transfer->Running())
        m_transfer->Stop(QStringLiteral("the transfer was stopped"));
    if (!m_phone) {
        m_port->Close();
        return Flush();
    }
    if (m_phone->NumberOfActiveCalls() == 0)
        return Flush();
    if (!m_hangUpLimit.Enabled()) {
        m_hangUpLimit.SetInterval(kHangUpLimitMs);
        m_hangUpLimit.Start();
    }
    if (m_step == Step::HangingUp)
        return; // on its way already
    m_step = Step::HangingUp;
    const int code = m_phone->Hangup();
    if (code != 0 && code != kCallDisconnected)
        m_report.Log(ErrorLine(m_phone->GetErrorMessage(code)));
}

void Session::Flush()
{
    if (m_step == Step::Flushing || m_step == Step::Done)
        return;
    m_step = Step::Flushing;
    m_hangUpLimit.Stop();
    m_waitLimit.Stop();
    if (m_chat)
        m_chat->Flush(kFlushLimitMs, [this] { Finish(); });
    else if (m_stdio)
        m_stdio->Finish(kFlushLimitMs, [this] { Finish(); });
    else
        Finish();
}

void Session::Finish()
{
    if (m_step == Step::Done)
        return;
    m_step = Step::Done;
    if (m_raw)
        m_raw->Restore();
    m_report.EndProgress();
    // The end is told on the terminal once it is the operator's again.
    m_report.SetSilent(false);
    if (m_status != exitstatus::Success && !m_message.isEmpty())
        m_report.Message(m_message);
    if (m_finished)
        QTimer::singleShot(0, this, [this, status = m_status] { m_finished(status); });
}

void Session::Interrupt(int signalNumber)
{
    Fail(exitstatus::Interrupted(signalNumber),
         QStringLiteral("ended by %1").arg(SignalWatcher::Name(signalNumber)));
    if (m_interrupted || m_step == Step::Starting) {
        // A second signal: no more waiting for the line.
        return Finish();
    }
    m_interrupted = true;
    if (m_transfer && m_transfer->Running())
        m_transfer->Stop(QStringLiteral("ended by %1").arg(SignalWatcher::Name(signalNumber)));
    EndCall();
}

} // namespace vh::cli
