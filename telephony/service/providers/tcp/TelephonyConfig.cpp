#include "telephony/service/providers/tcp/TelephonyConfig.h"

#include "telephony/service/Service.h"
#include "telephony/service/providers/tcp/TcpProvider.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>

#include <algorithm>

namespace tapi {

namespace {

const QString TcpType = QStringLiteral("tcp");

std::unique_ptr<Provider> MakeTcpProvider(const TelephonyConfig& config,
                                          const std::vector<LineSection>& sections, QStringList& problems)
{
    std::vector<qv::tcp::TcpLineConfig> lines;
    qv::tcp::TcpProvider::ConfigFile file;
    file.path = config.path;
    for (const LineSection& s : sections) {
        file.sections.push_back(s.index);
        QStringList lineProblems;
        lines.push_back(qv::tcp::ReadTcpLineConfig(s.values, lineProblems));
        for (const QString& p : lineProblems)
            problems << QStringLiteral("telephony.conf [line%1]: %2").arg(s.index).arg(p);
    }
    return std::make_unique<qv::tcp::TcpProvider>(std::move(lines), config.phonebook, std::move(file));
}

} // namespace

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

std::vector<std::unique_ptr<Provider>> BuildConfiguredProviders(TelephonyConfig& config,
                                                                const LineTypeFactories& others)
{
    std::vector<QString> order;
    std::map<QString, std::vector<LineSection>> byType;
    for (const LineSection& s : config.lines) {
        if (!byType.count(s.type))
            order.push_back(s.type);
        byType[s.type].push_back(s);
    }

    std::vector<std::unique_ptr<Provider>> providers;
    int lineCount = 0;
    for (const QString& type : order) {
        LineTypeFactory factory;
        if (type == TcpType) {
            factory = &MakeTcpProvider;
        } else if (auto it = others.find(type); it != others.end()) {
            factory = it->second;
        } else {
            for (const LineSection& s : byType[type])
                config.problems << QStringLiteral(
                                       "telephony.conf [line%1]: line type \"%2\" is not available; "
                                       "line left out")
                                       .arg(s.index)
                                       .arg(type);
            continue;
        }
        auto provider = factory(config, byType[type], config.problems);
        if (provider && provider->LineCount() > 0) {
            lineCount += provider->LineCount();
            providers.push_back(std::move(provider));
        }
    }
    if (lineCount == 0) {
        if (config.fromFile)
            config.problems << QStringLiteral(
                "telephony.conf gives no usable line; using the default tcp line");
        LineSection defaultLine;
        defaultLine.type = TcpType;
        // Its settings, once changed, go to a section of its own.
        while (std::any_of(config.lines.begin(), config.lines.end(),
                           [&](const LineSection& s) { return s.index == defaultLine.index; }))
            ++defaultLine.index;
        providers.push_back(MakeTcpProvider(config, {defaultLine}, config.problems));
    }
    return providers;
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

int InstallConfiguredProviders(const QString& settingsFolder, const LineTypeFactories& others,
                               QStringList* problems)
{
    TelephonyConfig config = LoadTelephonyConfig(settingsFolder);
    auto providers = BuildConfiguredProviders(config, others);
    if (problems)
        *problems << config.problems;
    int lines = 0;
    for (auto& provider : providers) {
        const int count = provider->LineCount();
        if (!Service::Install(std::move(provider)))
            return -1;
        lines += count;
    }
    return lines;
}

} // namespace tapi
