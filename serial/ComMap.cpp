#include "serial/ComMap.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <cstdlib>
#include <map>

namespace qv {

namespace {

std::map<int, QString>& Overrides()
{
    static std::map<int, QString> overrides;
    return overrides;
}

QString& SettingsFolder()
{
    static QString folder;
    return folder;
}

} // namespace

QString ComMap::DevicePath(int number)
{
    if (number < 1 || number > 16)
        return {};
    const auto it = Overrides().find(number);
    if (it != Overrides().end())
        return it->second;
    const QString file = ConfigFile();
    if (!file.isEmpty() && QFileInfo::exists(file)) {
        QSettings config(file, QSettings::IniFormat);
        const QString path = config.value(QStringLiteral("ports/COM%1").arg(number)).toString().trimmed();
        if (!path.isEmpty())
            return path;
    }
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
}

void ComMap::SetDevicePath(int number, const QString& path)
{
    if (path.isEmpty())
        Overrides().erase(number);
    else
        Overrides()[number] = path;
}

void ComMap::ClearDevicePaths()
{
    Overrides().clear();
}

void ComMap::SetSettingsFolder(const QString& folder)
{
    SettingsFolder() = folder;
}

QString ComMap::ConfigFile()
{
    QString folder = SettingsFolder();
    if (folder.isEmpty())
        folder = QString::fromLocal8Bit(qgetenv("VH_TERMINAL_HOME"));
    if (folder.isEmpty())
        return {};
    return QDir(folder).filePath(QStringLiteral("ports.conf"));
}

} // namespace qv
