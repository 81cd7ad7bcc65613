// What a number dialled on a tcp line means. The window's number field takes
// digits only, so a tcp line is dialled with digits: first an exact entry of
// the phonebook, else twelve digits as an IPv4 address in four groups of three
// ("127000000001" is 127.0.0.1), optionally followed by one to five digits of
// port (default 2323). Callers of the component API may also write
// "host:port", "[v6]:port" or a bare "host" (port 23, the telnet port).
#pragma once

#include <QMap>
#include <QString>

#include <cstdint>
#include <optional>

namespace qv::tcp {

constexpr std::uint16_t DefaultDigitPort = 2323;
constexpr std::uint16_t DefaultHostPort = 23;

struct TcpTarget
{
    QString host; // an IPv4/IPv6 literal or a name still to be looked up
    std::uint16_t port = 0;
    bool operator==(const TcpTarget&) const = default;
};

// Reads "host", "host:port", "[v6]" or "[v6]:port"; nullopt when it is none of
// these (bad characters, a port outside 1..65535, an empty host).
std::optional<TcpTarget> ParseHostPort(const QString& text, std::uint16_t defaultPort = DefaultHostPort);

// Whether `text` is exactly an IP address: an IPv4 address in dotted form or
// an IPv6 literal with at most a scope name, nothing before or after it.
bool IsAddressLiteral(const QString& text);

// Resolves a dialled number: the phonebook (keys are numbers, values
// "host[:port]"), then the twelve-digit form, then the host forms. Spaces
// around the number are ignored. nullopt means an invalid address.
std::optional<TcpTarget> ResolveTcpNumber(const QString& number, const QMap<QString, QString>& phonebook);

} // namespace qv::tcp
