// One hookswitch device of the line's phone: the handset or the auxiliary
// (speaker) device. Gain and volume run from 0 to 10; a new value is sent to
// the phone device at once while it is open, and both are applied again, with
// the stored hookswitch state, at every opening of a line with a phone device.
#pragma once

#include "telephony/PhoneTypes.h"

#include <cstdint>

namespace qv {

class TExtDev
{
public:
    // `hookSwitchDev` is PHONEHOOKSWITCHDEV_HANDSET (1) or _SPEAKER (2).
    TExtDev(QvPhone* owner, std::uint32_t hookSwitchDev) : m_owner(owner), m_hookSwitchDev(hookSwitchDev) {}
    TExtDev(const TExtDev&) = delete;
    TExtDev& operator=(const TExtDev&) = delete;

    QvPhone* Owner() const { return m_owner; }
    std::uint32_t HookSwitchDev() const { return m_hookSwitchDev; }

    // Out-of-range values show a message box and keep the old value.
    int MicGain() const { return m_micGain; }
    void SetMicGain(int value);
    int SpeakerVolume() const { return m_speakerVolume; }
    void SetSpeakerVolume(int value);

    // The microphone-and-speaker state last set (0 on hook, 1 microphone,
    // 2 speaker, 3 both) and its hookswitch mode.
    std::uint8_t StoredState() const { return m_state; }
    std::uint32_t StoredHookSwitchMode() const;

    // The device's present state as the phone reports it: 157 without an
    // open line, 152 / 151 when the line has no handset / auxiliary device,
    // -1 without a phone device, 156 when the phone cannot be read. A mode
    // outside the table leaves `state` as it was.
    int GetMicSpeakerState(std::uint8_t& state);
    // Asks the phone for a new state (0..3; anything else is -10). The state
    // is remembered only once the phone has taken the request; a later
    // refusal restores the previous one and raises OnLineState(lsError, 156).
    int SetMicSpeakerState(std::uint8_t state);
    // The hookswitch mode of a state of the table (0 for none).
    static std::uint32_t HookSwitchModeOf(std::uint8_t state);

    // The 0..10 scale sent to the service as 0..65535, to the nearest integer
    // with ties to even (3 -> 19660, 5 -> 32768, 10 -> 65535).
    static std::uint32_t Scaled(int value);

private:
    friend class QvPhone;

    QvPhone* m_owner;
    std::uint32_t m_hookSwitchDev;
    int m_micGain = 10;
    int m_speakerVolume = 10;
    std::uint8_t m_state = 0;
};

} // namespace qv
