#include "frontend/PacedSender.h"

#include <algorithm>

namespace vh {

PacedSender::PacedSender(RoomFunction room, SendFunction send, FailureFunction failed, QObject* parent)
    : QObject(parent), m_room(std::move(room)), m_send(std::move(send)), m_failed(std::move(failed))
{
    m_timer.SetInterval(kTickMs);
    connect(&m_timer, &ClockTimer::Timeout, this, [this] { Pump(); });
}

void PacedSender::Send(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    m_queue += bytes;
    if (!m_timer.Enabled())
        Pump();
}

void PacedSender::Clear()
{
    m_queue.clear();
    m_timer.Stop();
}

void PacedSender::Pump()
{
    const int room = std::min(m_room(), kPieceSize);
    if (room > 0 && !m_queue.isEmpty()) {
        const QByteArray piece = m_queue.left(room);
        m_queue.remove(0, piece.size());
        const int code = m_send(piece);
        if (code != 0) {
            m_queue.clear();
            m_timer.Stop();
            m_failed(code);
            return;
        }
    }
    if (m_queue.isEmpty())
        m_timer.Stop();
    else if (!m_timer.Enabled())
        m_timer.Start();
}

} // namespace vh
