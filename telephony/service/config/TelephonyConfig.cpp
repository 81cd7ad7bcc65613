#include "telephony/service/config/TelephonyConfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>

#include <algorithm>

namespace tapi {


QString TelephonyConfigPath(const QString& settingsFolder)
{
    return QDir(settingsFolder).filePath(QStringLiteral("telephony.conf"));
}

TelephonyConfig LoadTelephonyConfig(const QString& settingsFolder)
{
    TelephonyConfig config;
    const QString path = TelephonyConfigPath(settingsFolder);
    config.path = path;
    if (!QFileInfo(path).isFile())
        return config;
    config.fromFile = true;
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        config.problems << QStringLiteral("telephony.conf cannot be read; using the default line");
        return config;
    }

    static const QRegularExpression lineGroup(QStringLiteral("^line(\\d{1,4})$"));
    for (const QString& group : ini.childGroups()) {
        const auto m = lineGroup.match(group);
        if (!m.hasMatch())
            continue;
        LineSection s;
        s.index = m.captured(1).toInt();
        ini.beginGroup(group);
        for (const QString& key : ini.childKeys())
            s.values.insert(key, ini.value(key));
        ini.endGroup();
        s.type = s.values.value(QStringLiteral("type")).toString().trimmed().toLower();
        if (s.type.isEmpty()) {
            config.problems << QStringLiteral("telephony.conf [%1]: no type; line left out").arg(group);
            continue;
        }
        config.lines.push_back(std::move(s));
    }
    std::sort(config.lines.begin(), config.lines.end(),
              [](const LineSection& a, const LineSection& b) { return a.index < b.index; });

    ini.beginGroup(QStringLiteral("phonebook"));
    for (const QString& key : ini.childKeys()) {
        const QVariant v = ini.value(key);
        // A value with commas comes back as a list; an entry is one text.
        const QString text =
            v.typeId() == QMetaType::QStringList ? v.toStringList().join(QLatin1Char(',')) : v.toString();
        config.phonebook.insert(key.trimmed(), text.trimmed());
    }
    ini.endGroup();
    return config;
}

namespace {

// A value as QSettings reads it back: plain when it is a simple word, else in
// quotes with its backslashes and quotes escaped.
QByteArray IniValue(const QString& value)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_.:-]+$"));
    if (plain.match(value).hasMatch())
        return value.toUtf8();
    QByteArray out = "\"";
    for (char c : value.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + '"';
}

QByteArray KeyOf(const QByteArray& line)
{
    const qsizetype eq = line.indexOf('=');
    return eq < 0 ? QByteArray() : line.left(eq).trimmed();
}

} // namespace

bool WriteLineSection(const QString& path, int index, const QList<QPair<QString, QString>>& keys,
                      QString& error)
{
    QList<QByteArray> lines;
    QFile in(path);
    if (in.exists()) {
        if (!in.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("%1 cannot be read: %2").arg(path, in.errorString());
            return false;
        }
        lines = in.readAll().split('\n');
        in.close();
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
    }

    static const QRegularExpression header(QStringLiteral("^\\[line(\\d{1,4})\\]$"));
    qsizetype begin = -1, end = lines.size();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString text = QString::fromUtf8(lines[i].trimmed());
        if (begin >= 0 && text.startsWith(u'[')) {
            end = i;
            break;
        }
        const auto m = header.match(text);
        if (begin < 0 && m.hasMatch() && m.captured(1).toInt() == index)
            begin = i + 1;
    }
    if (begin < 0) {
        if (!lines.isEmpty() && !lines.last().trimmed().isEmpty())
            lines.append(QByteArray());
        lines.append(QStringLiteral("[line%1]").arg(index).toUtf8());
        begin = end = lines.size();
    }

    for (const auto& [key, value] : keys) {
        const QByteArray k = key.toUtf8();
        const QByteArray line = k + " = " + IniValue(value);
        qsizetype found = -1;
        for (qsizetype i = begin; i < end; ++i) {
            if (KeyOf(lines[i]) != k)
                continue;
            if (found < 0) {
                lines[i] = line;
                found = i;
            } else {
                // A key given twice would be read as its last value.
                lines.removeAt(i--);
                --end;
            }
        }
        if (found < 0) {
            qsizetype at = end;
            while (at > begin && lines[at - 1].trimmed().isEmpty())
                --at;
            lines.insert(at, line);
            ++end;
        }
    }

    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("%1 cannot be written: %2").arg(path, out.errorString());
        return false;
    }
    out.write(lines.join('\n') + '\n');
    if (!out.commit()) {
        error = QStringLiteral("%1 cannot be written: %2").arg(path, out.errorString());
        return false;
    }
    return true;
}

} // namespace tapi
