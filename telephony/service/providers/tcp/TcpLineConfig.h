// How a tcp line is set up: its name, where it listens for incoming calls,
// and whether its calls speak telnet or carry raw bytes. Read from the line's
// section of telephony.conf, and carried in the line's configuration block
// (lineGetDevConfig / lineSetDevConfig with class "comm/datamodem").
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariantMap>

#include <cstdint>

namespace qv::tcp {

enum class TcpMode
{
    Raw,   // bytes pass untouched both ways
    Telnet // IAC escaping and BINARY negotiation on the wire
};

struct TcpLineConfig
{
    QString name = QStringLiteral("Internet line");
    QString listenAddress = QStringLiteral("127.0.0.1");
    std::uint16_t listenPort = 2323;
    bool listen = true; // false: the line only dials out
    TcpMode mode = TcpMode::Telnet;
    // How long a dialled host may take to accept the connection before the
    // call ends as not answered. A call's own LINECALLPARAMS no-answer time
    // wins when it gives one. It covers connecting and, with another copy of
    // this program, its ringing until the answer; 60 s lets a far side that
    // answers on the twelfth ring be reached.
    int connectTimeoutSeconds = 60;

    bool operator==(const TcpLineConfig&) const = default;
};

// Reads the keys of a tcp line's section:
//
//   name    = Internet line      (any text)
//   address = 127.0.0.1          (the local address to listen on)
//   port    = 2323               (1..65535)
//   listen  = true               (false: outgoing calls only)
//   mode    = telnet             (telnet | raw)
//   timeout = 60                 (seconds to wait for a dialled host to answer,
//                                 and for an offered call to be answered, 1..600)
//
// A missing key keeps its default. A key with a value that cannot be used is
// reported in `problems` (one English line each) and keeps its default,
// except a bad listening address or port, which also turns listening off so
// that the line never listens somewhere the operator did not ask for.
TcpLineConfig ReadTcpLineConfig(const QVariantMap& values, QStringList& problems);
// The same keys with the values of `config`, as ReadTcpLineConfig reads them
// back, in the order above.
QList<QPair<QString, QString>> TcpLineConfigKeys(const TcpLineConfig& config);

// The line's configuration block. Layout (little-endian DWORDs):
//   0   total size of the block (ConfigBlockSize)
//   4   version (ConfigBlockVersion)
//   8   options word, kept for the phone component, unused by the line
//   48  provider subtype (ConfigBlockSubtype: a tcp line, not a modem)
//   84  speaker volume, 88 speaker mode: kept, a tcp line has no speaker
//   96  mode (0 raw, 1 telnet)
//   100 listen (0 or 1)
//   104 listening port
//   108 connect time limit in seconds
//   128 listening address, ASCII, NUL-terminated (64 bytes)
//   192 line name, UTF-8, NUL-terminated (64 bytes)
constexpr int ConfigBlockSize = 256;
constexpr std::uint32_t ConfigBlockVersion = 0x00010000;
constexpr std::uint32_t ConfigBlockSubtype = 0x00000100;

QByteArray EncodeConfigBlock(const TcpLineConfig& config, const QByteArray& keptFrom = {});
// False, and `config` untouched, for a block that is too short, of another
// version or subtype, or holds a value the line cannot use.
bool DecodeConfigBlock(const QByteArray& block, TcpLineConfig& config);

} // namespace qv::tcp
