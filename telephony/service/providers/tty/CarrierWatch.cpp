#include "telephony/service/providers/tty/CarrierWatch.h"

#include "telephony/service/providers/tty/TtyDevice.h"

namespace qv::tty {

CarrierWatch::~CarrierWatch()
{
    *m_alive = false;
    Stop();
}

void CarrierWatch::Start(TtyDevice& device, LostHandler lost, bool carrierSeen)
{
    Begin(device, Mode::Loss, {}, std::move(lost), carrierSeen);
}

void CarrierWatch::StartWaiting(TtyDevice& device, RisenHandler risen, LostHandler lost)
{
    Begin(device, Mode::Rise, std::move(risen), std::move(lost), false);
}

void CarrierWatch::StartDeviceOnly(TtyDevice& device, LostHandler lost)
{
    Begin(device, Mode::DeviceOnly, {}, std::move(lost), false);
}

void CarrierWatch::Begin(TtyDevice& device, Mode mode, RisenHandler risen, LostHandler lost, bool seen)
{
    Stop();
    m_device = &device;
    m_mode = mode;
    m_risen = std::move(risen);
    m_lost = std::move(lost);
    m_seen = seen;
    std::weak_ptr<bool> alive = m_alive;
    m_timer = Clock::Instance().StartTimer(m_intervalMs, [this, alive] {
        if (!alive.expired() && *alive.lock())
            Look();
    });
}

void CarrierWatch::Stop()
{
    if (m_timer) {
        Clock::Instance().StopTimer(m_timer);
        m_timer = 0;
    }
}

void CarrierWatch::Sample()
{
    if (m_device && m_device->HasModemLines() && m_device->Carrier())
        m_seen = true;
}

bool CarrierWatch::CarrierGone() const
{
    return m_device && m_seen && m_device->HasModemLines() && !m_device->Carrier();
}

void CarrierWatch::Look()
{
    if (!m_device)
        return;
    if (m_device->HungUp()) {
        Stop();
        // The handler may start the watch again or destroy its owner.
        const LostHandler lost = m_lost;
        if (lost)
            lost(Loss::DeviceHungUp);
        return;
    }
    if (m_mode == Mode::DeviceOnly || !m_device->HasModemLines())
        return;
    const bool carrier = m_device->Carrier();
    m_seen = m_seen || carrier;
    if (m_mode == Mode::Rise) {
        if (!carrier)
            return;
        Stop();
        const RisenHandler risen = m_risen;
        if (risen)
            risen();
        return;
    }
    if (!m_seen || carrier)
        return;
    Stop();
    const LostHandler lost = m_lost;
    if (lost)
        lost(Loss::CarrierDropped);
}

} // namespace qv::tty
