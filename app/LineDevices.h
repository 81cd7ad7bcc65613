// What the line selection dialog needs of the phone component, and the text
// it lists for a line's capability bits.
#pragma once

#include <QString>
#include <QStringList>

namespace vh {

// The line-device side of the phone the dialog works on. Codes are the
// suite's (0 = success).
class LineDevices
{
public:
    virtual ~LineDevices() = default;
    virtual int NumberOfLines() = 0;
    virtual int GetLineName(int lineId, QString& name) = 0;
    virtual int GetLineCaps(int lineId, int& caps) = 0;
    virtual int LineActive(int lineId, bool activate) = 0;
    virtual int LineID() const = 0;
    virtual QString GetErrorMessage(int code) const = 0;
    // Why the line's last open failed, beyond its code (a missing device, a
    // permission, another program holding it); empty when there is no more
    // to say.
    virtual QString LineFailureText(int /*lineId*/) const { return {}; }
};

// A code's message followed by the line's own account of the failure, for
// the error box and the log: "Could not open the line device. No permission
// to open the modem device /dev/ttyS0: join the dialout group ...".
inline QString WithLineFailure(const QString& message, const QString& failure)
{
    return failure.isEmpty() ? message : message + QLatin1Char(' ') + failure;
}

// The capability listing of a line whose capability bits are `caps`, one
// entry per line of text.
QStringList LineCapsListing(int caps);

} // namespace vh
