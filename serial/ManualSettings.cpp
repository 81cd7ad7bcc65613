#include "serial/ManualSettings.h"

namespace qv {

int BaudRateValue(TBaudRate rate)
{
    static constexpr int speeds[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                     19200, 38400, 56000, 57600, 115200, 128000, 256000};
    if (rate < br110 || rate > br256000)
        return 0;
    return speeds[rate];
}

const char* PortName(TPortNumber port)
{
    static constexpr const char* names[] = {"COM1",  "COM2",  "COM3",  "COM4",  "COM5",  "COM6",
                                            "COM7",  "COM8",  "COM9",  "COM10", "COM11", "COM12",
                                            "COM13", "COM14", "COM15", "COM16"};
    if (port < pnCOM1 || port > pnCOM16)
        return "";
    return names[port];
}

} // namespace qv
