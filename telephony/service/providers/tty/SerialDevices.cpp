#include "telephony/service/providers/tty/SerialDevices.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>

namespace qv::tty {

namespace {

// The kernel's names of serial ports: the PC's UARTs, USB adapters and
// modems, the UARTs of ARM boards, Bluetooth serial links.
const QRegularExpression kPortName(
    QStringLiteral("^(ttyS|ttyUSB|ttyACM|ttyAMA|ttyXRUSB|ttymxc|ttyO|ttySAC|ttyTHS|ttyMSM|rfcomm)(\\d+)$"));

// The serial core reports a port without a UART as type 0 (PORT_UNKNOWN).
bool NoUartBehind(const QString& sysTtyFolder, const QString& name)
{
    QFile type(sysTtyFolder + QLatin1Char('/') + name + QStringLiteral("/type"));
    if (!type.open(QIODevice::ReadOnly))
        return false; // not a serial-core port, or no sysfs: keep it
    return type.read(16).trimmed() == "0";
}

} // namespace

QStringList ListSerialDevices(const QString& devFolder, const QString& sysTtyFolder)
{
    struct Port
    {
        QString kind;
        int number;
        QString name;
    };
    std::vector<Port> ports;
    const QDir dev(devFolder);
    for (const QString& name : dev.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        const QRegularExpressionMatch m = kPortName.match(name);
        if (!m.hasMatch())
            continue;
        if (m.captured(1) == QLatin1String("ttyS") && NoUartBehind(sysTtyFolder, name))
            continue;
        ports.push_back({m.captured(1), m.captured(2).toInt(), name});
    }
    // ttyS2 before ttyS10, as an operator counts them.
    std::sort(ports.begin(), ports.end(), [](const Port& a, const Port& b) {
        return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
    });
    QStringList list;
    for (const Port& p : ports)
        list << dev.filePath(p.name);
    const QDir byId(dev.filePath(QStringLiteral("serial/by-id")));
    for (const QString& name : byId.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        list << byId.filePath(name);
    return list;
}

} // namespace qv::tty
