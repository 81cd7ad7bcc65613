// The line settings a port uses when it opens a COM device itself, with the
// enumerations of their values. The ordinals are fixed and used directly.
#pragma once

namespace qv {

// COMn has ordinal n - 1.
enum TPortNumber : int
{
    pnCOM1,
    pnCOM2,
    pnCOM3,
    pnCOM4,
    pnCOM5,
    pnCOM6,
    pnCOM7,
    pnCOM8,
    pnCOM9,
    pnCOM10,
    pnCOM11,
    pnCOM12,
    pnCOM13,
    pnCOM14,
    pnCOM15,
    pnCOM16
};

// Each value's line speed in bit/s is the number in its name (BaudRateValue).
enum TBaudRate : int
{
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};

enum TDataBits : int
{
    db5Bits,
    db6Bits,
    db7Bits,
    db8Bits
};
enum TStopBits : int
{
    sb1Bits,
    sb1HalfBits,
    sb2Bits
};
enum TParity : int
{
    ptNone,
    ptOdd,
    ptEven,
    ptMark,
    ptSpace
};
enum THwFlowControl : int
{
    hfNone,
    hfNoneRTSOn,
    hfRTSCTS
};
enum TSwFlowControl : int
{
    sfNone,
    sfXONXOFF
};

// The line speed of `rate` in bit/s; 0 for a value outside the enumeration.
int BaudRateValue(TBaudRate rate);

// "COM1" ... "COM16": one digit for 1 to 9, two for 10 to 16.
const char* PortName(TPortNumber port);

// Owned by the port. Setting a property only stores it; the value takes
// effect at the next Open of a port that is not linked to a phone.
class TManualSettings
{
public:
    TPortNumber Port() const { return m_port; }
    void SetPort(TPortNumber value) { m_port = value; }
    TBaudRate BaudRate() const { return m_baudRate; }
    void SetBaudRate(TBaudRate value) { m_baudRate = value; }
    TDataBits DataBits() const { return m_dataBits; }
    void SetDataBits(TDataBits value) { m_dataBits = value; }
    TStopBits StopBits() const { return m_stopBits; }
    void SetStopBits(TStopBits value) { m_stopBits = value; }
    TParity Parity() const { return m_parity; }
    void SetParity(TParity value) { m_parity = value; }
    THwFlowControl HardwareFlow() const { return m_hardwareFlow; }
    void SetHardwareFlow(THwFlowControl value) { m_hardwareFlow = value; }
    TSwFlowControl SoftwareFlow() const { return m_softwareFlow; }
    void SetSoftwareFlow(TSwFlowControl value) { m_softwareFlow = value; }

private:
    TPortNumber m_port = pnCOM1;
    TBaudRate m_baudRate = br115200;
    TDataBits m_dataBits = db8Bits;
    TStopBits m_stopBits = sb1Bits;
    TParity m_parity = ptNone;
    THwFlowControl m_hardwareFlow = hfRTSCTS;
    TSwFlowControl m_softwareFlow = sfNone;
};

} // namespace qv
