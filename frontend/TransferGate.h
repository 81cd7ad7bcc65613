// What is typed and a file transfer on one line. While a transfer runs,
// nothing typed may go out: it would land among the transfer's frames (and
// a receiver takes it for a damaged packet). For a moment after the end,
// neither: the far side's sender still reads for its last exchange and its
// exit, and would swallow it. What comes in that moment is held, and goes
// out when the moment is over.
#pragma once

#include "frontend/ClockTimer.h"

#include <QByteArray>
#include <QObject>

#include <functional>

namespace vh {

class TransferGate : public QObject
{
    Q_OBJECT
public:
    static constexpr int kAfterTransferMs = 1000;

    // Whether a transfer runs on the line now.
    using RunningFunction = std::function<bool()>;
    // The gate has opened: `held` (maybe empty) may go out now.
    using OpenedFunction = std::function<void(const QByteArray& held)>;

    explicit TransferGate(OpenedFunction opened, QObject* parent = nullptr);

    // Until it is given, no transfer ever runs.
    void SetRunning(RunningFunction running) { m_running = std::move(running); }

    bool TransferRunning() const { return m_running && m_running(); }
    // A transfer runs, or has just ended, or bytes still wait.
    bool Closed() const { return TransferRunning() || m_after.Enabled() || !m_held.isEmpty(); }
    // Keeps `bytes` for the opening, behind what waits already.
    void Hold(const QByteArray& bytes) { m_held += bytes; }
    qsizetype Held() const { return m_held.size(); }
    // A transfer ended: the gate opens kAfterTransferMs later, or at the end
    // of one that has begun by then.
    void TransferEnded();
    // Drops what waits (the connection ended); the gate is open.
    void Clear();

private:
    void Open();

    OpenedFunction m_opened;
    RunningFunction m_running;
    QByteArray m_held;
    ClockTimer m_after;
};

} // namespace vh
