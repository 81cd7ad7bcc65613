// What the line selection dialog needs of the phone component, and the text
// it lists for a line's capability bits.
#pragma once

#include <QString>
#include <QStringList>

namespace qv {
class QvPhone;
}

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

// The line-device side of a real phone component, which must outlive it.
class PhoneLineDevices : public LineDevices
{
public:
    explicit PhoneLineDevices(qv::QvPhone& phone) : m_phone(phone) {}
    int NumberOfLines() override;
    int GetLineName(int lineId, QString& name) override;
    int GetLineCaps(int lineId, int& caps) override;
    int LineActive(int lineId, bool activate) override;
    int LineID() const override;
    QString GetErrorMessage(int code) const override;
    QString LineFailureText(int lineId) const override;

private:
    qv::QvPhone& m_phone;
};

// The capability listing of a line whose capability bits are `caps`, one
// entry per line of text.
QStringList LineCapsListing(int caps);

} // namespace vh
