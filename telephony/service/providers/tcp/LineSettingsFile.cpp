#include "telephony/service/providers/tcp/LineSettingsFile.h"

#include "telephony/service/providers/tcp/TelephonyConfig.h"

namespace tapi {

bool LineSettingsFile::Keep(int line, const QList<QPair<QString, QString>>& keys, QString& error) const
{
    if (path.isEmpty() || line < 0 || std::size_t(line) >= sections.size())
        return true;
    return WriteLineSection(path, sections[std::size_t(line)], keys, error);
}

QString NotKeptText(const QString& error)
{
    return QStringLiteral("The settings were not changed, since they could not be kept: %1.").arg(error);
}

} // namespace tapi
