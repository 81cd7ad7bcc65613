#include "telephony/service/providers/tcp/TcpLineConfig.h"

#include "telephony/service/providers/LineConfigFields.h"
#include "telephony/service/providers/tcp/TcpNumber.h"

#include <QStringList>
#include <QtEndian>

#include <cstring>
#include <optional>

namespace qv::tcp {

namespace {

using namespace qv::linecfg;

constexpr int OffSize = 0;
constexpr int OffVersion = 4;
constexpr int OffSubtype = 48;
constexpr int OffMode = 96;
constexpr int OffListen = 100;
constexpr int OffPort = 104;
constexpr int OffTimeout = 108;
constexpr int OffAddress = 128;
constexpr int OffName = 192;
constexpr int MaxTimeoutSeconds = 600;

std::optional<bool> ReadBool(const QString& text)
{
    const QString t = text.trimmed().toLower();
    if (t == u"true" || t == u"yes" || t == u"on" || t == u"1")
        return true;
    if (t == u"false" || t == u"no" || t == u"off" || t == u"0")
        return false;
    return std::nullopt;
}

} // namespace

TcpLineConfig ReadTcpLineConfig(const QVariantMap& values, QStringList& problems)
{
    TcpLineConfig c;
    bool listenUsable = true;

    if (values.contains(QStringLiteral("name"))) {
        const QString name = Text(values.value(QStringLiteral("name"))).trimmed();
        if (!name.isEmpty())
            c.name = name;
    }
    if (values.contains(QStringLiteral("address"))) {
        const QString text = Text(values.value(QStringLiteral("address"))).trimmed();
        if (!IsAddressLiteral(text)) {
            problems
                << QStringLiteral("address \"%1\" is not an IP address; the line will not listen").arg(text);
            listenUsable = false;
        } else {
            c.listenAddress = text;
        }
    }
    if (values.contains(QStringLiteral("port"))) {
        const QString text = Text(values.value(QStringLiteral("port"))).trimmed();
        bool ok = false;
        const uint port = text.toUInt(&ok);
        if (!ok || port == 0 || port > 65535) {
            problems << QStringLiteral(
                            "port \"%1\" is not a port number (1..65535); the line will not listen")
                            .arg(text);
            listenUsable = false;
        } else {
            c.listenPort = std::uint16_t(port);
        }
    }
    if (values.contains(QStringLiteral("listen"))) {
        const QString text = Text(values.value(QStringLiteral("listen")));
        if (auto b = ReadBool(text))
            c.listen = *b;
        else
            problems << QStringLiteral("listen \"%1\" is neither true nor false; kept true").arg(text);
    }
    if (values.contains(QStringLiteral("mode"))) {
        const QString text = Text(values.value(QStringLiteral("mode"))).trimmed().toLower();
        if (text == u"raw")
            c.mode = TcpMode::Raw;
        else if (text == u"telnet")
            c.mode = TcpMode::Telnet;
        else
            problems << QStringLiteral("mode \"%1\" is neither telnet nor raw; kept telnet").arg(text);
    }
    if (values.contains(QStringLiteral("timeout"))) {
        const QString text = Text(values.value(QStringLiteral("timeout"))).trimmed();
        bool ok = false;
        const int seconds = text.toInt(&ok);
        if (!ok || seconds < 1 || seconds > MaxTimeoutSeconds)
            problems << QStringLiteral("timeout \"%1\" is not 1..600 seconds; kept %2")
                            .arg(text)
                            .arg(c.connectTimeoutSeconds);
        else
            c.connectTimeoutSeconds = seconds;
    }
    if (!listenUsable)
        c.listen = false;
    return c;
}

QList<QPair<QString, QString>> TcpLineConfigKeys(const TcpLineConfig& c)
{
    return {{QStringLiteral("name"), c.name},
            {QStringLiteral("address"), c.listenAddress},
            {QStringLiteral("port"), QString::number(c.listenPort)},
            {QStringLiteral("listen"), c.listen ? QStringLiteral("true") : QStringLiteral("false")},
            {QStringLiteral("mode"),
             c.mode == TcpMode::Telnet ? QStringLiteral("telnet") : QStringLiteral("raw")},
            {QStringLiteral("timeout"), QString::number(c.connectTimeoutSeconds)}};
}

QByteArray EncodeConfigBlock(const TcpLineConfig& config, const QByteArray& keptFrom)
{
    QByteArray b(ConfigBlockSize, '\0');
    // Whatever the phone component keeps in the shared part of the block
    // (options word, speaker settings) survives a round trip through us.
    if (keptFrom.size() >= ConfigBlockSize)
        std::memcpy(b.data(), keptFrom.constData(), ConfigBlockSize);
    PutDword(b, OffSize, ConfigBlockSize);
    PutDword(b, OffVersion, ConfigBlockVersion);
    PutDword(b, OffSubtype, ConfigBlockSubtype);
    PutDword(b, OffMode, config.mode == TcpMode::Telnet ? 1 : 0);
    PutDword(b, OffListen, config.listen ? 1 : 0);
    PutDword(b, OffPort, config.listenPort);
    PutDword(b, OffTimeout, std::uint32_t(config.connectTimeoutSeconds));
    PutText(b, OffAddress, config.listenAddress.toLatin1());
    PutText(b, OffName, config.name.toUtf8());
    return b;
}

bool DecodeConfigBlock(const QByteArray& block, TcpLineConfig& config)
{
    if (block.size() < ConfigBlockSize || GetDword(block, OffSize) < std::uint32_t(ConfigBlockSize) ||
        GetDword(block, OffSize) > std::uint32_t(block.size()) ||
        GetDword(block, OffVersion) != ConfigBlockVersion ||
        GetDword(block, OffSubtype) != ConfigBlockSubtype)
        return false;
    const std::uint32_t mode = GetDword(block, OffMode);
    const std::uint32_t listen = GetDword(block, OffListen);
    const std::uint32_t port = GetDword(block, OffPort);
    const std::uint32_t timeout = GetDword(block, OffTimeout);
    const auto address = GetText(block, OffAddress);
    const auto name = GetText(block, OffName);
    if (mode > 1 || listen > 1 || port == 0 || port > 65535 || timeout < 1 ||
        timeout > std::uint32_t(MaxTimeoutSeconds) || !address || !name)
        return false;
    const QString addressText = QString::fromLatin1(*address);
    if (!IsAddressLiteral(addressText))
        return false;
    TcpLineConfig c;
    c.mode = mode == 1 ? TcpMode::Telnet : TcpMode::Raw;
    c.listen = listen == 1;
    c.listenPort = std::uint16_t(port);
    c.connectTimeoutSeconds = int(timeout);
    c.listenAddress = addressText;
    c.name = name->isEmpty() ? config.name : QString::fromUtf8(*name);
    config = c;
    return true;
}

} // namespace qv::tcp
