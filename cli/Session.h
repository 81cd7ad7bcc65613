// One run of vh-term: a call placed or answered on a line of the telephony
// service, or a port over a device or the standard streams, the work asked
// for on it, and the clean end (the call hung up and verifiably down, what
// the port wrote let out), with the exit status that says how it went.
//
// The steps run one after another from the components' events; each failure
// is saved (the first one wins) and the clean-up steps still run before it is
// reported.
#pragma once

#include "cli/CliOptions.h"
#include "cli/Report.h"
#include "cli/TransferJob.h"

#include "frontend/ClockTimer.h"

#include "serial/QvSerialPort.h"
#include "telephony/QvPhone.h"
#include "transfer/QvFile.h"

#include <QObject>

#include <functional>
#include <memory>

namespace vh {
class InstanceLock;
}

namespace vh::cli {

class ChatJob;
class RawTerminal;
class StdioCall;

class Session : public QObject
{
    Q_OBJECT
public:
    // `settingsFolder` is the folder the line was set up from (dial and
    // answer only). The receive folder and the files have been checked.
    Session(const Options& options, Report& report, const QString& settingsFolder);
    ~Session() override;

    // Begins; `finished` runs once, from the event loop, with the status.
    void Start(std::function<void(int status)> finished);
    // A signal asked the program to end: whatever runs is stopped and the
    // call hung up; a second signal ends at once.
    void Interrupt(int signalNumber);

private:
    enum class Step
    {
        Starting,
        WaitingForCall, // dialled, or waiting for the ring to answer on
        OpeningPort,
        Working,
        HangingUp,
        Flushing,
        Done
    };

    void StartOnLine();
    void StartWithoutLine();
    void LineState(qv::TLineState state, int param1);
    void CallState(qv::TCallState state, int param1);
    void CallDidNotGoThrough(qv::TCallState state, int param1);
    void PortState(qv::TPortState state, int param1);
    void WorkFinished(const JobResult& result);
    // A chat's transfers: one that ended, and a far side that waits for files.
    void ChatTransferEnded(const JobResult& result);
    void RemoteWaitsForFiles();
    void SendNamedFiles(const QStringList& names);
    void Fail(int status, const QString& message);
    void EndCall();
    void Flush();
    void Finish();
    QString Coded(const QString& message, int code) const;

    Options m_options;
    Report& m_report;
    QString m_settingsFolder;
    Step m_step = Step::Starting;
    int m_status = 0;
    QString m_message;
    bool m_failed = false;
    bool m_interrupted = false;
    bool m_workDone = false;
    bool m_callPlaced = false;   // dialled, or answered
    bool m_streamsEnded = false; // the standard streams of a transfer without a line
    std::function<void(int)> m_finished;

    std::unique_ptr<InstanceLock> m_lock;
    std::unique_ptr<qv::QvPhone> m_phone;
    std::unique_ptr<StdioCall> m_stdio;
    std::unique_ptr<qv::QvSerialPort> m_port;
    std::unique_ptr<qv::QvFile> m_file;
    std::unique_ptr<TransferJob> m_transfer;
    std::unique_ptr<ChatJob> m_chat;
    std::unique_ptr<RawTerminal> m_raw;
    ClockTimer m_waitLimit;
    ClockTimer m_hangUpLimit;
};

} // namespace vh::cli
