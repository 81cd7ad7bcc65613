// The modem speaker settings of the phone's line. Setting either value only
// stores it; the phone writes both into the modem's stored configuration when
// it next opens the line.
#pragma once

#include "telephony/PhoneTypes.h"

namespace qv {

class TModemSpeaker
{
public:
    explicit TModemSpeaker(QvPhone* owner) : m_owner(owner) {}
    TModemSpeaker(const TModemSpeaker&) = delete;
    TModemSpeaker& operator=(const TModemSpeaker&) = delete;

    QvPhone* Owner() const { return m_owner; }

    TModemSpeakerVolume Volume() const { return m_volume; }
    void SetVolume(TModemSpeakerVolume volume) { m_volume = volume; }
    TModemSpeakerMode Mode() const { return m_mode; }
    void SetMode(TModemSpeakerMode mode) { m_mode = mode; }

private:
    QvPhone* m_owner;
    TModemSpeakerVolume m_volume = svDefault;
    TModemSpeakerMode m_mode = smDefault;
};

} // namespace qv
