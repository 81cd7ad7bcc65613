#include "telephony/LineConfigStore.h"

#include "telephony/service/TapiTypes.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#include <cstring>
#include <memory>

namespace qv::linestore {

namespace {

QString StoreName(std::uint32_t rootKey)
{
    switch (rootKey) {
    case HKEY_CLASSES_ROOT:
        return QStringLiteral("classes-root");
    case HKEY_CURRENT_USER:
        return QStringLiteral("current-user");
    case HKEY_LOCAL_MACHINE:
        return QStringLiteral("local-machine");
    case HKEY_USERS:
        return QStringLiteral("users");
    case HKEY_CURRENT_CONFIG:
        return QStringLiteral("current-config");
    default:
        return {};
    }
}

std::unique_ptr<QSettings> Open(std::uint32_t rootKey)
{
    const QString name = StoreName(rootKey);
    if (name.isEmpty())
        return nullptr;
    // Every root key is a file of the user's own configuration folder: the
    // program never needs rights beyond the user's.
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                       QStringLiteral("vh-terminal"), QStringLiteral("saved-lines-") + name);
}

// "Software\VH\Lines" -> "Software/VH/Lines"; empty parts are dropped.
QString GroupOf(const QString& key)
{
    QString normalised = key;
    normalised.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return normalised.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
}

} // namespace

QString FilePath(std::uint32_t rootKey)
{
    const std::unique_ptr<QSettings> store = Open(rootKey);
    return store ? store->fileName() : QString();
}

bool Write(std::uint32_t rootKey, const QString& key, const QString& valueName, const QByteArray& bytes)
{
    if (valueName.isEmpty())
        return false;
    const std::unique_ptr<QSettings> store = Open(rootKey);
    if (!store || !store->isWritable())
        return false;
    const QString group = GroupOf(key);
    if (!group.isEmpty())
        store->beginGroup(group);
    store->setValue(valueName, bytes);
    if (!group.isEmpty())
        store->endGroup();
    store->sync();
    return store->status() == QSettings::NoError;
}

bool Read(std::uint32_t rootKey, const QString& key, const QString& valueName, QByteArray& bytes)
{
    if (valueName.isEmpty())
        return false;
    const std::unique_ptr<QSettings> store = Open(rootKey);
    if (!store || store->status() != QSettings::NoError)
        return false;
    const QString group = GroupOf(key);
    if (!group.isEmpty())
        store->beginGroup(group);
    const QVariant value = store->value(valueName);
    if (!value.isValid() || value.typeId() != QMetaType::QByteArray)
        return false;
    bytes = value.toByteArray();
    return true;
}

int ConfigFromValue(const QByteArray& value, int lineId, QByteArray& config)
{
    constexpr std::uint32_t header = sizeof(tapi::VARSTRING);
    if (value.isEmpty() || static_cast<std::uint8_t>(value[0]) != lineId)
        return 105;
    if (value.size() > 1 + static_cast<qsizetype>(SavedVarStringBytes) ||
        value.size() < 1 + static_cast<qsizetype>(header))
        return -1;
    auto word = [&](int offset) {
        std::uint32_t w = 0;
        std::memcpy(&w, value.constData() + offset, sizeof w);
        return w;
    };
    const std::uint32_t total = word(1);
    const std::uint32_t size = word(17);
    const std::uint32_t offset = word(21);
    const auto stored = static_cast<std::uint32_t>(value.size() - 1);
    if (total > SavedVarStringBytes || total < header)
        return -1;
    if (offset < header || offset > stored || size > stored - offset || offset > total ||
        size > total - offset)
        return -1;
    config = value.mid(1 + static_cast<qsizetype>(offset), static_cast<qsizetype>(size));
    return 0;
}

} // namespace qv::linestore
