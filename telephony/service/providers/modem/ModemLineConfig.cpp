#include "telephony/service/providers/modem/ModemLineConfig.h"

#include "telephony/service/providers/LineConfigFields.h"

#include "serial/CommDevice.h"

#include <QtEndian>

#include <cstring>
#include <optional>

namespace qv::modem {

namespace {

using namespace qv::linecfg;

constexpr int OffSize = 0;
constexpr int OffVersion = 4;
constexpr int OffSpeed = 96;
constexpr int OffFlow = 100;
constexpr int OffDialMode = 104;
constexpr int OffTimeout = 108;
constexpr int OffInit = 128;
constexpr int OffName = 192;
constexpr int MinTimeoutSeconds = 5;
constexpr int MaxTimeoutSeconds = 300;

const Word<DialMode> kDialModes[] = {{"tone", DialMode::Tone}, {"pulse", DialMode::Pulse}};
const Word<SpeakerVolume> kVolumes[] = {
    {"low", SpeakerVolume::Low}, {"medium", SpeakerVolume::Medium}, {"high", SpeakerVolume::High}};
const Word<SpeakerMode> kModes[] = {{"off", SpeakerMode::Off},
                                    {"dial", SpeakerMode::Dial},
                                    {"on", SpeakerMode::On},
                                    {"setup", SpeakerMode::CallSetup}};

} // namespace

bool IsValidInitString(const QByteArray& init)
{
    if (init.isEmpty())
        return true;
    if (init.size() > MaxInitLength || init.size() < 2 || (init[0] != 'A' && init[0] != 'a') ||
        (init[1] != 'T' && init[1] != 't'))
        return false;
    // One command line of printable ASCII: a CR inside would let the init
    // string carry a second command past what the line knows it sent.
    for (char c : init) {
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

namespace {

// "+VCID=1", "#CID=2", "%CCID=1", "+CLIP=1": caller ID on, in any of the
// dialects, formatted or not.
bool TurnsCallerIdOn(const QByteArray& command)
{
    const QByteArray upper = command.toUpper();
    for (const char* dialect : {"+VCID=", "#CID=", "%CCID=", "+CLIP="}) {
        const qsizetype at = upper.indexOf(dialect);
        if (at < 0)
            continue;
        const qsizetype value = at + qsizetype(std::strlen(dialect));
        if (value < upper.size() && upper[value] >= '1' && upper[value] <= '9')
            return true;
    }
    return false;
}

} // namespace

bool ParseInitSequence(const QByteArray& text, std::vector<InitStep>& steps, QString& problem)
{
    std::vector<InitStep> parsed;
    for (const QByteArray& part : text.split('|')) {
        QByteArray command = part.trimmed();
        InitStep step;
        if (command.startsWith('?')) {
            step.optional = true;
            command = command.mid(1).trimmed();
        }
        if (command.isEmpty() || !IsValidInitString(command)) {
            problem = QStringLiteral("%1: one AT command line of at most %2 characters expected")
                          .arg(QString::fromLatin1(command))
                          .arg(MaxInitLength);
            return false;
        }
        step.callerId = TurnsCallerIdOn(command);
        step.alternatives.push_back(command);
        parsed.push_back(std::move(step));
    }
    if (int(parsed.size()) > MaxInitSteps) {
        problem = QStringLiteral("at most %1 commands expected").arg(MaxInitSteps);
        return false;
    }
    steps = std::move(parsed);
    return true;
}

std::vector<InitStep> InitSequence(const ModemLineConfig& config)
{
    std::vector<InitStep> steps;
    QString problem;
    if (!config.initSequence.isEmpty() && ParseInitSequence(config.initSequence, steps, problem))
        return steps;
    steps.clear();
    if (!config.init.isEmpty())
        steps.push_back({{config.init}, false, false});
    steps.push_back({{"ATE0V1Q0S0=0"}, false, false});
    for (const char* optional : {"ATX4", "AT&C1", "AT&D2"})
        steps.push_back({{optional}, true, false});
    steps.push_back({{"AT+VCID=1", "AT#CID=1", "AT%CCID=1", "AT+CLIP=1"}, true, true});
    return steps;
}

ModemLineConfig ReadModemLineConfig(const QVariantMap& values, QStringList& problems)
{
    ModemLineConfig c;
    if (values.contains(QStringLiteral("name"))) {
        const QString name = Text(values.value(QStringLiteral("name"))).trimmed();
        if (!name.isEmpty())
            c.name = name;
    }
    tty::TtySettings port = PortSettings(c);
    const qsizetype firstProblem = problems.size();
    tty::ReadTtySettings(values, port, problems);
    if (port.device.isEmpty())
        problems.insert(firstProblem, QStringLiteral("device: missing; the line has no modem to open"));
    c.device = port.device;
    c.speed = port.speed;
    c.flow = port.flow;
    c.lockDir = port.lockDir;
    ReadWord(values, "dial", kDialModes, c.dialMode, problems);
    ReadWord(values, "volume", kVolumes, c.volume, problems);
    ReadWord(values, "speaker", kModes, c.speaker, problems);
    if (values.contains(QStringLiteral("init"))) {
        const QByteArray init = Text(values.value(QStringLiteral("init"))).trimmed().toLatin1();
        if (IsValidInitString(init))
            c.init = init;
        else
            problems << QStringLiteral("init = %1: one AT command line of at most %2 characters expected")
                            .arg(QString::fromLatin1(init))
                            .arg(MaxInitLength);
    }
    if (values.contains(QStringLiteral("init_sequence"))) {
        const QByteArray sequence = Text(values.value(QStringLiteral("init_sequence"))).trimmed().toLatin1();
        std::vector<InitStep> steps;
        QString problem;
        if (ParseInitSequence(sequence, steps, problem))
            c.initSequence = sequence;
        else
            problems << QStringLiteral("init_sequence = %1: %2").arg(QString::fromLatin1(sequence), problem);
    }
    if (values.contains(QStringLiteral("timeout"))) {
        bool ok = false;
        const int t = Text(values.value(QStringLiteral("timeout"))).trimmed().toInt(&ok);
        if (ok && t >= MinTimeoutSeconds && t <= MaxTimeoutSeconds)
            c.dialTimeoutSeconds = t;
        else
            problems << QStringLiteral("timeout = %1: seconds from %2 to %3 expected")
                            .arg(Text(values.value(QStringLiteral("timeout"))))
                            .arg(MinTimeoutSeconds)
                            .arg(MaxTimeoutSeconds);
    }
    return c;
}

QList<QPair<QString, QString>> ModemLineConfigKeys(const ModemLineConfig& config)
{
    QList<QPair<QString, QString>> keys{{QStringLiteral("name"), config.name}};
    keys += tty::TtySettingsKeys(PortSettings(config));
    keys += {{QStringLiteral("init"), QString::fromLatin1(config.init)},
             {QStringLiteral("dial"), WordOf(kDialModes, config.dialMode)},
             {QStringLiteral("volume"), WordOf(kVolumes, config.volume)},
             {QStringLiteral("speaker"), WordOf(kModes, config.speaker)},
             {QStringLiteral("timeout"), QString::number(config.dialTimeoutSeconds)}};
    return keys;
}

QByteArray EncodeConfigBlock(const ModemLineConfig& config, const QByteArray& keptFrom)
{
    QByteArray b(ConfigBlockSize, '\0');
    if (keptFrom.size() >= ConfigBlockSize)
        std::memcpy(b.data(), keptFrom.constData(), ConfigBlockSize);
    PutDword(b, OffSize, ConfigBlockSize);
    PutDword(b, OffVersion, ConfigBlockVersion);
    PutDword(b, OffSubtype, ConfigBlockSubtype);
    PutDword(b, OffSpeakerVolume, std::uint32_t(config.volume));
    PutDword(b, OffSpeakerMode, std::uint32_t(config.speaker));
    PutDword(b, OffSpeed, std::uint32_t(config.speed));
    PutDword(b, OffFlow, std::uint32_t(config.flow));
    PutDword(b, OffDialMode, std::uint32_t(config.dialMode));
    PutDword(b, OffTimeout, std::uint32_t(config.dialTimeoutSeconds));
    PutText(b, OffInit, config.init);
    PutText(b, OffName, config.name.toUtf8());
    return b;
}

bool DecodeConfigBlock(const QByteArray& block, ModemLineConfig& config)
{
    if (block.size() < ConfigBlockSize || GetDword(block, OffSize) < std::uint32_t(ConfigBlockSize) ||
        GetDword(block, OffSize) > std::uint32_t(block.size()) ||
        GetDword(block, OffVersion) != ConfigBlockVersion ||
        GetDword(block, OffSubtype) != ConfigBlockSubtype)
        return false;
    const std::uint32_t volume = GetDword(block, OffSpeakerVolume);
    const std::uint32_t mode = GetDword(block, OffSpeakerMode);
    const std::uint32_t speed = GetDword(block, OffSpeed);
    const std::uint32_t flow = GetDword(block, OffFlow);
    const std::uint32_t dial = GetDword(block, OffDialMode);
    const std::uint32_t timeout = GetDword(block, OffTimeout);
    const auto init = GetText(block, OffInit);
    const auto name = GetText(block, OffName);
    if (volume > 2 || mode > 3 || speed > 4000000 || !CommDevice::SpeedSupported(int(speed)) || flow > 2 ||
        dial > 1 || timeout < std::uint32_t(MinTimeoutSeconds) ||
        timeout > std::uint32_t(MaxTimeoutSeconds) || !init || !name || !IsValidInitString(*init))
        return false;
    ModemLineConfig c = config;
    c.volume = SpeakerVolume(volume);
    c.speaker = SpeakerMode(mode);
    c.speed = int(speed);
    c.flow = FlowControl(flow);
    c.dialMode = DialMode(dial);
    c.dialTimeoutSeconds = int(timeout);
    c.init = *init;
    if (!name->isEmpty())
        c.name = QString::fromUtf8(*name);
    config = c;
    return true;
}

tty::TtySettings PortSettings(const ModemLineConfig& config)
{
    return {config.device, config.speed, config.flow, config.lockDir};
}

QByteArray SpeakerCommands(const ModemLineConfig& config)
{
    // L0 and L1 are both "low" on most modems; L1 is the one all of them take.
    return "L" + QByteArray::number(int(config.volume) + 1) + "M" + QByteArray::number(int(config.speaker));
}

} // namespace qv::modem
