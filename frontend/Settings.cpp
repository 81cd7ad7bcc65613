#include "frontend/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <unistd.h>

namespace vh {

namespace {

QString WithSlash(QString folder)
{
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

// `path` made absolute with its links resolved as far as it exists, so that
// two names of one folder compare equal.
QString ResolvedFolder(const QString& path)
{
    QString rest;
    QString existing = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    while (!QFileInfo::exists(existing)) {
        const qsizetype slash = existing.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0) {
            existing = QStringLiteral("/");
            break;
        }
        rest.prepend(existing.mid(slash));
        existing.truncate(slash);
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return QDir::cleanPath((canonical.isEmpty() ? existing : canonical) + rest);
}

bool IsSameOrInside(const QString& folder, const QString& other)
{
    const QString a = WithSlash(ResolvedFolder(folder));
    const QString b = WithSlash(ResolvedFolder(other));
    return a.startsWith(b);
}

} // namespace

QString DefaultReceiveFolder()
{
    QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (downloads.isEmpty())
        downloads = QDir::homePath();
    return WithSlash(downloads) + QStringLiteral("VH Terminal/");
}

QString SettingsFolderRefusal(const QString& folder, const QString& settingsFolder)
{
    if (!IsSameOrInside(folder, settingsFolder))
        return QString();
    return QStringLiteral("The folder \"%1\" holds the program's own settings, which a received file could "
                          "replace. Please choose another folder for received files.")
        .arg(folder);
}

QString ReceiveFolderRefusal(const QString& folder, const QString& settingsFolder)
{
    if (QString refusal = SettingsFolderRefusal(folder, settingsFolder); !refusal.isEmpty())
        return refusal;
    QString nearest = ResolvedFolder(folder);
    while (!QFileInfo::exists(nearest) && nearest.size() > 1)
        nearest = QFileInfo(nearest).path();
    if (!QFileInfo(nearest).isDir() || ::access(QFile::encodeName(nearest).constData(), W_OK | X_OK) != 0)
        return QStringLiteral(
                   "The folder \"%1\" cannot be written. Please choose another folder for received "
                   "files.")
            .arg(folder);
    return QString();
}

QString ResolveSettingsFolder(const SettingsFolderInputs& inputs)
{
    if (!inputs.commandLineDir.isEmpty())
        return WithSlash(inputs.commandLineDir);
    if (!inputs.environmentHome.isEmpty())
        return WithSlash(inputs.environmentHome);
    if (!inputs.executableDir.isEmpty() && inputs.isWritable && inputs.isWritable(inputs.executableDir))
        return WithSlash(inputs.executableDir);
    if (!inputs.xdgConfigHome.isEmpty())
        return WithSlash(inputs.xdgConfigHome) + QStringLiteral("vh-terminal/");
    if (!inputs.home.isEmpty())
        return WithSlash(inputs.home) + QStringLiteral(".config/vh-terminal/");
    return QStringLiteral("./");
}

SettingsFolderInputs ProcessSettingsFolderInputs(const QString& commandLineDir)
{
    SettingsFolderInputs inputs;
    inputs.commandLineDir = commandLineDir;
    inputs.environmentHome = qEnvironmentVariable("VH_TERMINAL_HOME");
    if (QCoreApplication::instance())
        inputs.executableDir = QCoreApplication::applicationDirPath();
    inputs.xdgConfigHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    inputs.home = qEnvironmentVariable("HOME");
    inputs.isWritable = [](const QString& dir) {
        // access() asks the kernel, so read-only mounts and ACLs count too.
        return ::access(QFile::encodeName(dir).constData(), W_OK | X_OK) == 0;
    };
    return inputs;
}

QString TrimSettingText(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).unicode() <= u' ')
        ++begin;
    while (end > begin && text.at(end - 1).unicode() <= u' ')
        --end;
    return text.mid(begin, end - begin);
}

SettingsStore::SettingsStore(QString folder) : m_folder(WithSlash(std::move(folder))) {}

bool SettingsStore::Exists(const QString& name) const
{
    return QFileInfo(PathOf(name)).isFile();
}

std::optional<QString> SettingsStore::Read(const QString& name, QString& error) const
{
    QFile file(PathOf(name));
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("Cannot open file \"%1\". %2").arg(file.fileName(), file.errorString());
        return std::nullopt;
    }
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        error = QStringLiteral("Cannot read file \"%1\". %2").arg(file.fileName(), file.errorString());
        return std::nullopt;
    }
    return TrimSettingText(QString::fromUtf8(content));
}

bool SettingsStore::Write(const QString& name, const QString& text, QString& error) const
{
    // Written aside and renamed into place, so that a full disk never leaves
    // a half-written setting behind.
    QSaveFile file(PathOf(name));
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("Cannot create file \"%1\". %2").arg(PathOf(name), file.errorString());
        return false;
    }
    const QByteArray bytes = text.toUtf8() + "\r\n";
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        error = QStringLiteral("Cannot write file \"%1\". %2").arg(PathOf(name), file.errorString());
        return false;
    }
    return true;
}

bool SettingsStore::Remove(const QString& name, QString& error) const
{
    QFile file(PathOf(name));
    if (!file.exists())
        return true;
    if (!file.remove()) {
        error = QStringLiteral("Cannot delete file \"%1\". %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

} // namespace vh
