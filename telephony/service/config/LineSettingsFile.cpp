#include "telephony/service/config/LineSettingsFile.h"

#include "telephony/service/config/TelephonyConfig.h"

#include <QDebug>

namespace tapi {

bool LineSettingsFile::Keep(int line, const QString& type, QList<QPair<QString, QString>> keys,
                            const QString& label, QString& failure) const
{
    if (path.isEmpty() || line < 0 || std::size_t(line) >= sections.size())
        return true;
    keys.prepend({QStringLiteral("type"), type});
    QString error;
    if (WriteLineSection(path, sections[std::size_t(line)], keys, error))
        return true;
    failure = QStringLiteral("The settings were not changed, since they could not be kept: %1.").arg(error);
    qWarning().noquote() << QStringLiteral("%1: settings not kept: %2").arg(label, error);
    return false;
}

} // namespace tapi
