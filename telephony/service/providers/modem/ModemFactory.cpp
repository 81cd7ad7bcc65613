#include "telephony/service/providers/modem/ModemFactory.h"

#include "telephony/service/providers/modem/ModemProvider.h"

namespace qv::modem {

std::unique_ptr<tapi::Provider> CreateModemProvider(const tapi::TelephonyConfig& config,
                                                    const std::vector<tapi::LineSection>& sections,
                                                    QStringList& problems)
{
    std::vector<ModemLineConfig> lines;
    tapi::LineSettingsFile file{config.path, {}};
    for (const tapi::LineSection& section : sections) {
        QStringList found;
        ModemLineConfig line = ReadModemLineConfig(section.values, found);
        for (const QString& p : found)
            problems << QStringLiteral("telephony.conf [line%1]: %2").arg(section.index).arg(p);
        if (line.device.isEmpty()) {
            problems << QStringLiteral("telephony.conf [line%1]: modem line left out").arg(section.index);
            continue;
        }
        lines.push_back(std::move(line));
        file.sections.push_back(section.index);
    }
    if (lines.empty())
        return nullptr;
    return MakeModemProvider(std::move(lines), std::move(file));
}

} // namespace qv::modem
