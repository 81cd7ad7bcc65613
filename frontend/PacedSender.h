// Typed and pasted bytes on their way to the line. A key goes out at once;
// a large paste goes out a piece per tick, no faster than the line's output
// queue takes it, so the window never waits on a slow line.
#pragma once

#include "frontend/ClockTimer.h"

#include <QByteArray>
#include <QObject>

#include <functional>

namespace vh {

class PacedSender : public QObject
{
    Q_OBJECT
public:
    // How many bytes the line takes now without waiting.
    using RoomFunction = std::function<int()>;
    // Writes the bytes; a code other than 0 is a failure.
    using SendFunction = std::function<int(const QByteArray&)>;
    // A write failed with `code`; what was still waiting is dropped.
    using FailureFunction = std::function<void(int code)>;

    static constexpr int kPieceSize = 1024;
    static constexpr int kTickMs = 20;

    PacedSender(RoomFunction room, SendFunction send, FailureFunction failed, QObject* parent = nullptr);

    // Queues `bytes` behind what is waiting; sends what fits now.
    void Send(const QByteArray& bytes);
    // Drops what is waiting (the connection ended).
    void Clear();
    qsizetype Pending() const { return m_queue.size(); }

private:
    void Pump();

    RoomFunction m_room;
    SendFunction m_send;
    FailureFunction m_failed;
    QByteArray m_queue;
    ClockTimer m_timer;
};

} // namespace vh
