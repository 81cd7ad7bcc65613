// Chat over a connected call: standard input to the line, the line to
// standard output. On a terminal, what is typed goes out key by key (the
// terminal is raw for the time), Enter sends what the line's far side wants
// (CR LF unless the line says CR), typed text is shown unless the far side
// echoes it, and Ctrl-] hangs up. From a pipe or a file the bytes go as they
// are and the chat ends when they have all gone. A "NO CARRIER" report of
// the modem hangs up, as in the window.
//
// While a transfer runs on the line nothing typed goes out: on a terminal
// the keys are dropped (Ctrl-] still hangs up), from a pipe the bytes wait
// for the transfer's end; either waits for a moment after it. When the far
// side waits for files, the operator types their names.
#pragma once

#include "cli/Report.h"
#include "cli/Streams.h"
#include "cli/TransferJob.h"

#include "frontend/NoCarrierDetector.h"
#include "frontend/PacedSender.h"
#include "frontend/TransferGate.h"

#include "serial/QvSerialPort.h"
#include "telephony/QvPhone.h"

#include <QStringList>

#include <functional>
#include <memory>

namespace vh::cli {

class RawTerminal;

class ChatJob
{
public:
    // The key that hangs up on a terminal: Ctrl-].
    static constexpr char kEscapeKey = 0x1D;

    using Finished = std::function<void(const JobResult& result)>;
    // `phone` tells the far side's wishes; the port's received data is the
    // job's for its lifetime.
    ChatJob(qv::QvSerialPort& port, qv::QvPhone& phone, Report& report, int in, int out, Finished finished);
    ~ChatJob();
    ChatJob(const ChatJob&) = delete;
    ChatJob& operator=(const ChatJob&) = delete;

    // The port is open: the streams start. Finishes at once when a stream
    // cannot be used.
    void PortOpened();
    // What came from the line has gone to standard output (the call has
    // ended): `done` runs then, or after `limitMs`.
    void Flush(int limitMs, std::function<void()> done);

    // Whether a transfer holds the line; from the job's start none does.
    void SetTransferRunning(std::function<bool()> running) { m_gate.SetRunning(std::move(running)); }
    // The transfer that held the line has ended: bytes that waited go out
    // a moment later, once the far side's end of it is over too.
    void TransferEnded();
    // The far side waits for files. On a terminal the operator is asked for
    // their names on one line (quotes keep a name with spaces whole, "~/"
    // is the home folder); Enter alone or Ctrl-C gives none, Ctrl-] hangs up
    // without an answer. From a pipe nobody can be asked: no names. `answer`
    // gets full names.
    using Answer = std::function<void(const QStringList& names)>;
    void AskForFiles(Answer answer);

private:
    void GateOpened(const QByteArray& held);
    void Typed(const QByteArray& bytes);
    void TypedName(const QByteArray& bytes);
    void InputEnded(int osError);
    void Received(const char* data, int size);
    void Finish(const JobResult& result);
    void CheckSent();

    qv::QvSerialPort& m_port;
    qv::QvPhone& m_phone;
    Report& m_report;
    int m_in;
    int m_out;
    Finished m_finished;
    bool m_terminal;
    bool m_started = false;
    bool m_done = false;
    bool m_inputEnded = false;
    std::unique_ptr<RawTerminal> m_raw;
    std::unique_ptr<InputStream> m_input;
    std::unique_ptr<OutputStream> m_output;
    std::unique_ptr<PacedSender> m_sender;
    NoCarrierDetector m_noCarrier;
    ClockTimer m_sentCheck;
    std::function<void()> m_flushed;
    ClockTimer m_flushLimit;

    TransferGate m_gate;
    bool m_keysTold = false; // the operator knows the keys are dropped
    Answer m_answer;         // not empty: names are being typed
    QByteArray m_name;       // what has been typed of them
    int m_escape = 0;        // within a key's escape sequence: 1 after ESC, 2 after its "[" or "O"
};

} // namespace vh::cli
