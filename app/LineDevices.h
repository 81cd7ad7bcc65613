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
};

// The capability listing of a line whose capability bits are `caps`, one
// entry per line of text.
QStringList LineCapsListing(int caps);

} // namespace vh
