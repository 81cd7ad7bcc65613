#include "telephony/service/providers/modem/AtSequencer.h"

namespace qv::modem {

AtSequencer::AtSequencer(Writer writer, Unsolicited unsolicited)
    : m_writer(std::move(writer)), m_unsolicited(std::move(unsolicited))
{}

AtSequencer::~AtSequencer()
{
    *m_alive = false;
    if (m_timer)
        Clock::Instance().StopTimer(m_timer);
}

void AtSequencer::Send(const QByteArray& command, int timeoutMs, Done done)
{
    m_queue.push_back(Command{command, timeoutMs, std::move(done)});
    if (!m_current && !m_startPending) {
        // Start on the next turn so that `done` never runs inside Send(), even
        // when the write fails at once.
        m_startPending = true;
        std::weak_ptr<bool> alive = m_alive;
        auto once = std::make_shared<TimerId>(0);
        *once = Clock::Instance().StartTimer(0, [this, alive, once] {
            Clock::Instance().StopTimer(*once);
            if (alive.expired() || !*alive.lock())
                return;
            m_startPending = false;
            StartNext();
        });
    }
}

void AtSequencer::StartNext()
{
    if (m_current || m_queue.empty())
        return;
    m_current = std::make_unique<Command>(std::move(m_queue.front()));
    m_queue.pop_front();
    m_info.clear();
    if (!m_writer(m_current->text + '\r')) {
        AtReply reply;
        reply.outcome = AtOutcome::WriteFailed;
        Finish(std::move(reply));
        return;
    }
    StartTimeout(m_current->timeoutMs);
}

void AtSequencer::StartTimeout(int timeoutMs)
{
    if (m_timer)
        Clock::Instance().StopTimer(m_timer);
    std::weak_ptr<bool> alive = m_alive;
    m_timer = Clock::Instance().StartTimer(timeoutMs, [this, alive] {
        if (!alive.expired() && *alive.lock())
            OnTimeout();
    });
}

bool AtSequencer::Interrupt(const QByteArray& bytes, int timeoutMs)
{
    if (!m_current || !m_writer(bytes))
        return false;
    StartTimeout(timeoutMs);
    return true;
}

void AtSequencer::Finish(AtReply reply)
{
    if (m_timer) {
        Clock::Instance().StopTimer(m_timer);
        m_timer = 0;
    }
    std::unique_ptr<Command> done = std::move(m_current);
    reply.info = std::move(m_info);
    m_info.clear();
    std::weak_ptr<bool> alive = m_alive;
    if (done && done->done)
        done->done(reply);
    // The callback may have destroyed us or queued the next command.
    if (alive.expired() || !*alive.lock())
        return;
    StartNext();
}

void AtSequencer::OnTimeout()
{
    m_discarding = true;
    AtReply reply;
    reply.outcome = AtOutcome::Timeout;
    Finish(std::move(reply));
}

void AtSequencer::Feed(QByteArrayView bytes)
{
    std::vector<QByteArray> lines;
    m_splitter.Feed(bytes, lines);
    std::weak_ptr<bool> alive = m_alive;
    for (const QByteArray& raw : lines) {
        OnLine(raw);
        if (alive.expired() || !*alive.lock())
            return;
    }
}

void AtSequencer::OnLine(const QByteArray& raw)
{
    const QByteArrayView command = m_current ? QByteArrayView(m_current->text) : QByteArrayView();
    AtLine line = ClassifyAtLine(raw, command);
    if (line.kind == AtKind::Echo)
        return;
    // Unsolicited lines are passed on whatever else is going on.
    if (line.kind == AtKind::Ring || line.kind == AtKind::CallerId) {
        if (m_unsolicited)
            m_unsolicited(line);
        return;
    }
    if (m_discarding) {
        // The abandoned command's reply: skip it through its final result.
        if (IsFinalResult(line.kind))
            m_discarding = false;
        return;
    }
    if (!m_current) {
        // NO CARRIER or the like with no command outstanding is news.
        if (m_unsolicited)
            m_unsolicited(line);
        return;
    }
    if (IsFinalResult(line.kind)) {
        AtReply reply;
        reply.outcome = AtOutcome::Final;
        reply.final = std::move(line);
        Finish(std::move(reply));
        return;
    }
    m_info.push_back(std::move(line));
}

void AtSequencer::CancelAll()
{
    std::deque<Command> queue = std::move(m_queue);
    m_queue.clear();
    m_splitter.Reset();
    m_discarding = false;
    std::weak_ptr<bool> alive = m_alive;
    if (m_current) {
        AtReply reply;
        reply.outcome = AtOutcome::Cancelled;
        if (m_timer) {
            Clock::Instance().StopTimer(m_timer);
            m_timer = 0;
        }
        std::unique_ptr<Command> done = std::move(m_current);
        if (done->done)
            done->done(reply);
        if (alive.expired() || !*alive.lock())
            return;
    }
    for (Command& c : queue) {
        if (c.done) {
            AtReply reply;
            reply.outcome = AtOutcome::Cancelled;
            c.done(reply);
            if (alive.expired() || !*alive.lock())
                return;
        }
    }
}

} // namespace qv::modem
