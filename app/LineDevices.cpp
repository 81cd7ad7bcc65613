#include "app/LineDevices.h"

#include "telephony/QvPhone.h"

namespace vh {

int PhoneLineDevices::NumberOfLines()
{
    return m_phone.NumberOfLines();
}

int PhoneLineDevices::GetLineName(int lineId, QString& name)
{
    return m_phone.GetLineName(lineId, name);
}

int PhoneLineDevices::GetLineCaps(int lineId, int& caps)
{
    return m_phone.GetLineCaps(lineId, caps);
}

int PhoneLineDevices::LineActive(int lineId, bool activate)
{
    return m_phone.LineActive(lineId, activate);
}

int PhoneLineDevices::LineID() const
{
    return m_phone.LineID();
}

QString PhoneLineDevices::GetErrorMessage(int code) const
{
    return m_phone.GetErrorMessage(code);
}

QString PhoneLineDevices::LineFailureText(int lineId) const
{
    return m_phone.LineFailureText(lineId);
}

namespace {

QString Availability(int caps, int bit)
{
    return (caps & bit) ? QStringLiteral("OK") : QStringLiteral("UNAVAILABLE");
}

// The five lines of a phone device (auxiliary or handset); `first` is the
// bit of its first feature, the others follow in the next four bits.
void AddDeviceLines(QStringList& lines, int caps, int first)
{
    static const char* const features[] = {
        "Turning on the mic only",
        "Turning on the speaker only",
        "Turning on the microphone and the speaker simultaneously",
        "Mic gain adjusting",
        "Speaker volume adjusting",
    };
    for (int i = 0; i < 5; ++i)
        lines
            << QStringLiteral("   -%1 - %2").arg(QLatin1String(features[i]), Availability(caps, first << i));
}

} // namespace

QStringList LineCapsListing(int caps)
{
    QStringList lines;
    lines << QStringLiteral("Caller ID - %1").arg(Availability(caps, 0x4));
    lines << QStringLiteral("Digit pulse detection - %1").arg(Availability(caps, 0x10));
    lines << QStringLiteral("Digit tone detection - %1").arg(Availability(caps, 0x20));
    lines << QStringLiteral("Play and record wave - %1").arg(Availability(caps, 0x1));
    // The serial port line has two blanks before its dash when available.
    lines << ((caps & 0x2) ? QStringLiteral("Serial port device  - OK")
                           : QStringLiteral("Serial port device - UNAVAILABLE"));
    if (caps & 0x40) {
        lines << QStringLiteral("Auxiliary microphone and speaker capabilities:");
        AddDeviceLines(lines, caps, 0x100);
    } else {
        lines << QStringLiteral("Auxiliary microphone and speaker - UNAVAILABLE");
    }
    if (caps & 0x2000) {
        lines << QStringLiteral("Local phone handset capabilities:");
        AddDeviceLines(lines, caps, 0x8000);
    } else {
        lines << QStringLiteral("Local phone handset - UNAVAILABLE");
    }
    return lines;
}

} // namespace vh
