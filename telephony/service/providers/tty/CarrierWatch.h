// Watches the carrier of a line on a tty: the DCD line where the device has
// modem-control lines, the descriptor's hang-up where it has not (or where the
// device itself went away). The kernel offers no non-blocking notice of a DCD
// change, so the lines are looked at every `intervalMs` on qv::Clock, which is
// cheap (one ioctl) and runs in virtual time in tests.
//
// Three ways of watching, one at a time:
// - Start: for the carrier to go. Only a carrier that was seen can be lost: a
//   cable without DCD, or a modem whose DCD does not follow the carrier, never
//   reads as a lost call, and never as a modem that has hung up either.
// - StartWaiting: for the carrier to come (a direct line waiting for the far
//   end to raise DCD).
// - StartDeviceOnly: for the device to go, whatever DCD does (a direct line
//   that ignores the carrier).
// A device that hangs up ends each of them with Loss::DeviceHungUp.
#pragma once

#include "common/Clock.h"

#include <functional>
#include <memory>

namespace qv::tty {

class TtyDevice;

class CarrierWatch
{
public:
    enum class Loss
    {
        CarrierDropped, // DCD fell after it had been up
        DeviceHungUp    // the descriptor reports a hang-up or an error
    };
    using LostHandler = std::function<void(Loss)>;
    using RisenHandler = std::function<void()>;

    explicit CarrierWatch(int intervalMs = 200) : m_intervalMs(intervalMs) {}
    ~CarrierWatch();
    CarrierWatch(const CarrierWatch&) = delete;
    CarrierWatch& operator=(const CarrierWatch&) = delete;

    void SetInterval(int intervalMs) { m_intervalMs = intervalMs; }

    // Each Start looks at `device` (which must outlive the watch or Stop)
    // with no carrier seen yet, from the first tick on. The handler runs once,
    // from the clock; the watch has stopped by then, and the handler may start
    // it again or destroy its owner.
    //
    // `lost` runs when the carrier goes. With `carrierSeen` the carrier counts
    // as seen from the start (a call that came up on it), so that a DCD that
    // falls before the first tick is still a loss.
    void Start(TtyDevice& device, LostHandler lost, bool carrierSeen = false);
    // `risen` runs when DCD is up (at the first tick if it already is); a
    // device without modem-control lines never shows a carrier.
    void StartWaiting(TtyDevice& device, RisenHandler risen, LostHandler lost);
    // `lost` runs only when the device hangs up.
    void StartDeviceOnly(TtyDevice& device, LostHandler lost);
    // Stops looking; what was seen is kept for CarrierGone().
    void Stop();
    bool Running() const { return m_timer != 0; }

    // Looks at DCD now, so that a carrier about to be dropped on purpose
    // (DTR going down) counts as seen.
    void Sample();
    // Whether DCD has been up since the last Start.
    bool CarrierSeen() const { return m_seen; }
    // True when the carrier was seen and DCD is down now: the far end has let
    // go of the call. Looks at the line at once.
    bool CarrierGone() const;

private:
    enum class Mode
    {
        Loss,
        Rise,
        DeviceOnly
    };
    void Begin(TtyDevice& device, Mode mode, RisenHandler risen, LostHandler lost, bool seen);
    void Look();

    int m_intervalMs;
    Mode m_mode = Mode::Loss;
    TtyDevice* m_device = nullptr;
    LostHandler m_lost;
    RisenHandler m_risen;
    TimerId m_timer = 0;
    bool m_seen = false;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace qv::tty
