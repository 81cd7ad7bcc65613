// One AT command at a time over the command phase of a modem: the command is
// written, the lines that follow are collected until its final result or its
// time-out, and unsolicited lines (RING, caller ID) are handed on as they come.
// After a time-out the late reply of the abandoned command is discarded up to
// and including its final result, so it can never answer the next command.
#pragma once

#include "common/Clock.h"
#include "telephony/service/providers/modem/AtParser.h"

#include <deque>
#include <functional>
#include <memory>

namespace qv::modem {

enum class AtOutcome : std::uint8_t
{
    Final,
    Timeout,
    WriteFailed,
    Cancelled
};

struct AtReply
{
    AtOutcome outcome = AtOutcome::Final;
    AtLine final;             // the final result when outcome is Final
    std::vector<AtLine> info; // Info lines that came before it
};

class AtSequencer
{
public:
    using Writer = std::function<bool(const QByteArray& bytes)>; // false: write failed
    using Done = std::function<void(const AtReply&)>;
    using Unsolicited = std::function<void(const AtLine&)>;

    AtSequencer(Writer writer, Unsolicited unsolicited);
    ~AtSequencer();
    AtSequencer(const AtSequencer&) = delete;
    AtSequencer& operator=(const AtSequencer&) = delete;

    // Queues `command` (without CR; one is appended). `done` runs once, from
    // Feed() or from the time-out, never from inside Send().
    void Send(const QByteArray& command, int timeoutMs, Done done);

    // Received command-phase bytes.
    void Feed(QByteArrayView bytes);

    // Writes `bytes` as they are (no CR added) while the command in flight is
    // outstanding, and gives that command `timeoutMs` from now for its final
    // result: any character aborts a dial or an answer in progress, and the
    // modem then ends the command with its own result. False when no command
    // is in flight or the write failed.
    bool Interrupt(const QByteArray& bytes, int timeoutMs);

    // Drops the queue and the command in flight (each `done` gets Cancelled)
    // and forgets any partial line: for the switch to the data phase, where
    // result codes are no longer parsed.
    void CancelAll();

    bool Busy() const { return m_current != nullptr || !m_queue.empty(); }
    // True while the reply of a timed-out command is still being skipped.
    bool Discarding() const { return m_discarding; }

private:
    struct Command
    {
        QByteArray text;
        int timeoutMs;
        Done done;
    };
    void StartNext();
    void Finish(AtReply reply);
    void OnLine(const QByteArray& raw);
    void OnTimeout();
    void StartTimeout(int timeoutMs);

    Writer m_writer;
    Unsolicited m_unsolicited;
    AtLineSplitter m_splitter;
    std::deque<Command> m_queue;
    std::unique_ptr<Command> m_current;
    std::vector<AtLine> m_info;
    TimerId m_timer = 0;
    bool m_discarding = false;
    bool m_startPending = false;
    // Tells callbacks queued on the clock that this object is gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace qv::modem
