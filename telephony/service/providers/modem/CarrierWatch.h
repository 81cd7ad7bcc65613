// Watches the carrier of a call on a tty: the DCD line where the device has
// modem-control lines, the descriptor's hang-up where it has not (or where the
// device itself went away). The kernel offers no non-blocking notice of a DCD
// change, so the lines are looked at every `intervalMs` on qv::Clock, which is
// cheap (one ioctl) and runs in virtual time in tests.
//
// Only a carrier that was seen can be lost: a cable without DCD, or a modem
// whose DCD does not follow the carrier, never reads as a lost call, and never
// as a modem that has hung up either.
#pragma once

#include "common/Clock.h"

#include <functional>
#include <memory>

namespace qv::modem {

class ModemDevice;

class CarrierWatch
{
public:
    enum class Loss
    {
        CarrierDropped, // DCD fell after it had been up
        DeviceHungUp    // the descriptor reports a hang-up or an error
    };
    using LostHandler = std::function<void(Loss)>;

    explicit CarrierWatch(int intervalMs = 200) : m_intervalMs(intervalMs) {}
    ~CarrierWatch();
    CarrierWatch(const CarrierWatch&) = delete;
    CarrierWatch& operator=(const CarrierWatch&) = delete;

    void SetInterval(int intervalMs) { m_intervalMs = intervalMs; }

    // Starts looking at `device` (which must outlive the watch or Stop) with
    // no carrier seen yet. `lost` runs once, from the clock, when the carrier
    // goes; the watch has stopped by then.
    void Start(ModemDevice& device, LostHandler lost);
    // Stops looking; what was seen is kept for CarrierGone().
    void Stop();
    bool Running() const { return m_timer != 0; }

    // Looks at DCD now, so that a carrier about to be dropped on purpose
    // (DTR going down) counts as seen.
    void Sample();
    // Whether DCD has been up since Start.
    bool CarrierSeen() const { return m_seen; }
    // True when the carrier was seen and DCD is down now: the modem has let
    // go of the call. Looks at the line at once.
    bool CarrierGone() const;

private:
    void Look();

    int m_intervalMs;
    ModemDevice* m_device = nullptr;
    LostHandler m_lost;
    TimerId m_timer = 0;
    bool m_seen = false;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace qv::modem
