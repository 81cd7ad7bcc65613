#include "telephony/service/providers/tcp/ConfiguredProviders.h"

#include "telephony/service/Service.h"
#include "telephony/service/providers/tcp/TcpProvider.h"

#include <algorithm>
#include <map>

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
