// Stored line configurations as a damaged or hostile store hands them back:
// the saved value around the block is checked before any of it is used, a
// block that a line accepts encodes back to itself, and the configuration
// keys a line reads from telephony.conf always make a block it accepts.
//
// Input: one byte naming the line of the saved value, then the value; the
// value's block, and the input itself, go to the tcp and the modem line.
#include "FuzzSupport.h"

#include "telephony/LineConfigStore.h"
#include "telephony/service/providers/modem/ModemLineConfig.h"
#include "telephony/service/providers/tcp/TcpLineConfig.h"

#include <QByteArray>
#include <QVariantMap>

namespace {

using qv::fuzz::Check;
using qv::fuzz::FuzzInput;

void CheckTcpBlock(const QByteArray& block)
{
    qv::tcp::TcpLineConfig config;
    if (!qv::tcp::DecodeConfigBlock(block, config))
        return;
    qv::tcp::TcpLineConfig again;
    Check(qv::tcp::DecodeConfigBlock(qv::tcp::EncodeConfigBlock(config, block), again) && again == config,
          "an accepted tcp block encodes back to the same configuration");
    for (QChar c : config.listenAddress + config.name)
        Check(c.unicode() >= 0x20 || c.unicode() == 0x09, "a tcp block's texts hold no control characters");
}

void CheckModemBlock(const QByteArray& block)
{
    qv::modem::ModemLineConfig config;
    if (!qv::modem::DecodeConfigBlock(block, config))
        return;
    Check(qv::modem::IsValidInitString(config.init), "an accepted modem block has a valid init string");
    qv::modem::ModemLineConfig again;
    Check(qv::modem::DecodeConfigBlock(qv::modem::EncodeConfigBlock(config, block), again) && again == config,
          "an accepted modem block encodes back to the same configuration");
}

// The input's lines as the keys of a line's section ("key=value").
QVariantMap Section(const QByteArray& bytes)
{
    QVariantMap values;
    for (const QByteArray& line : bytes.split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            values.insert(QString::fromUtf8(line.left(eq)).trimmed(), QString::fromUtf8(line.mid(eq + 1)));
    }
    return values;
}

void CheckSections(const QByteArray& bytes)
{
    const QVariantMap values = Section(bytes);
    QStringList problems;
    const qv::tcp::TcpLineConfig tcp = qv::tcp::ReadTcpLineConfig(values, problems);
    qv::tcp::TcpLineConfig tcpBack;
    Check(qv::tcp::DecodeConfigBlock(qv::tcp::EncodeConfigBlock(tcp), tcpBack),
          "a tcp line read from its section makes a block it accepts");
    const qv::modem::ModemLineConfig modem = qv::modem::ReadModemLineConfig(values, problems);
    qv::modem::ModemLineConfig modemBack;
    Check(qv::modem::DecodeConfigBlock(qv::modem::EncodeConfigBlock(modem), modemBack),
          "a modem line read from its section makes a block it accepts");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const int lineId = input.Byte();
    const std::uint8_t* rest = nullptr;
    const std::size_t n = input.Rest(rest);
    const QByteArray value(reinterpret_cast<const char*>(rest), qsizetype(n));

    QByteArray block;
    const int code = qv::linestore::ConfigFromValue(value, lineId, block);
    Check(code == 0 || code == 105 || code == -1, "a saved value is refused only with its codes");
    if (code == 0) {
        Check(block.size() < value.size(), "the block lies inside the value");
        CheckTcpBlock(block);
        CheckModemBlock(block);
    }
    CheckTcpBlock(value);
    CheckModemBlock(value);
    CheckSections(value);
    return 0;
}
