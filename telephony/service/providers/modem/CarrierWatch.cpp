#include "telephony/service/providers/modem/CarrierWatch.h"

#include "telephony/service/providers/modem/ModemDevice.h"

namespace qv::modem {

CarrierWatch::~CarrierWatch()
{
    *m_alive = false;
    Stop();
}

void CarrierWatch::Start(ModemDevice& device, LostHandler lost)
{
    Stop();
    m_device = &device;
    m_lost = std::move(lost);
    m_seen = false;
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
    Loss loss;
    if (m_device->HungUp()) {
        loss = Loss::DeviceHungUp;
    } else if (m_device->HasModemLines()) {
        const bool carrier = m_device->Carrier();
        m_seen = m_seen || carrier;
        if (!m_seen || carrier)
            return;
        loss = Loss::CarrierDropped;
    } else {
        return;
    }
    Stop();
    // The handler may start the watch again or destroy its owner.
    const LostHandler lost = m_lost;
    if (lost)
        lost(loss);
}

} // namespace qv::modem
