#include "telephony/service/providers/tty/TtySettings.h"

#include "serial/CommDevice.h"
#include "telephony/service/providers/LineConfigFields.h"

namespace qv::tty {

namespace {

const linecfg::Word<FlowControl> kFlows[] = {
    {"rtscts", FlowControl::RtsCts}, {"xonxoff", FlowControl::XonXoff}, {"none", FlowControl::None}};

} // namespace

void ReadTtySettings(const QVariantMap& values, TtySettings& settings, QStringList& problems)
{
    using linecfg::Text;
    if (values.contains(QStringLiteral("device")))
        settings.device = Text(values.value(QStringLiteral("device"))).trimmed();
    if (values.contains(QStringLiteral("speed"))) {
        bool ok = false;
        const int speed = Text(values.value(QStringLiteral("speed"))).trimmed().toInt(&ok);
        if (ok && CommDevice::SpeedSupported(speed))
            settings.speed = speed;
        else
            problems << QStringLiteral("speed = %1: not a speed the port supports")
                            .arg(Text(values.value(QStringLiteral("speed"))));
    }
    linecfg::ReadWord(values, "flow", kFlows, settings.flow, problems);
    if (values.contains(QStringLiteral("lockdir")))
        settings.lockDir = Text(values.value(QStringLiteral("lockdir"))).trimmed();
}

QList<QPair<QString, QString>> TtySettingsKeys(const TtySettings& settings)
{
    return {{QStringLiteral("device"), settings.device},
            {QStringLiteral("speed"), QString::number(settings.speed)},
            {QStringLiteral("flow"), linecfg::WordOf(kFlows, settings.flow)}};
}

} // namespace qv::tty
