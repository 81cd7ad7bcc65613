#include "telephony/service/providers/serial/SerialLineConfig.h"

#include "telephony/service/providers/LineConfigFields.h"

namespace qv::serialline {

namespace {

const linecfg::Word<CarrierMode> kCarrierModes[] = {{"ignore", CarrierMode::Ignore},
                                                    {"wait", CarrierMode::Wait}};

} // namespace

SerialLineConfig ReadSerialLineConfig(const QVariantMap& values, QStringList& problems)
{
    using linecfg::Text;
    SerialLineConfig c;
    const QString name = Text(values.value(QStringLiteral("name"))).trimmed();
    if (!name.isEmpty())
        c.name = name;
    const qsizetype firstProblem = problems.size();
    tty::ReadTtySettings(values, c.port, problems);
    if (c.port.device.isEmpty())
        problems.insert(firstProblem,
                        QStringLiteral("device: missing; the line has no serial device to open"));
    linecfg::ReadWord(values, "carrier", kCarrierModes, c.carrier, problems);
    if (values.contains(QStringLiteral("timeout"))) {
        const QString text = Text(values.value(QStringLiteral("timeout"))).trimmed();
        bool ok = false;
        const int seconds = text.toInt(&ok);
        if (ok && seconds >= MinDialTimeoutSeconds && seconds <= MaxDialTimeoutSeconds)
            c.dialTimeoutSeconds = seconds;
        else
            problems << QStringLiteral("timeout = %1: seconds from %2 to %3 expected")
                            .arg(text)
                            .arg(MinDialTimeoutSeconds)
                            .arg(MaxDialTimeoutSeconds);
    }
    return c;
}

QList<QPair<QString, QString>> SerialLineConfigKeys(const SerialLineConfig& config)
{
    QList<QPair<QString, QString>> keys{{QStringLiteral("name"), config.name}};
    keys += tty::TtySettingsKeys(config.port);
    keys += {{QStringLiteral("carrier"), linecfg::WordOf(kCarrierModes, config.carrier)},
             {QStringLiteral("timeout"), QString::number(config.dialTimeoutSeconds)}};
    return keys;
}

} // namespace qv::serialline
