#include "frontend/TransferGate.h"

#include <utility>

namespace vh {

TransferGate::TransferGate(OpenedFunction opened, QObject* parent)
    : QObject(parent), m_opened(std::move(opened))
{
    m_after.SetInterval(kAfterTransferMs);
    connect(&m_after, &ClockTimer::Timeout, this, [this] { Open(); });
}

void TransferGate::TransferEnded()
{
    m_after.Start();
}

void TransferGate::Clear()
{
    m_after.Stop();
    m_held.clear();
}

void TransferGate::Open()
{
    m_after.Stop();
    if (TransferRunning())
        return; // its own end opens the gate
    m_opened(std::exchange(m_held, QByteArray()));
}

} // namespace vh
