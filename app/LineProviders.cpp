#include "app/LineProviders.h"

#include "telephony/service/providers/modem/ModemLineConfig.h"
#include "telephony/service/providers/modem/ModemProvider.h"
#include "telephony/service/providers/tcp/TelephonyConfig.h"

namespace vh {

int InstallLineProviders(const QString& settingsFolder, QStringList& problems)
{
    tapi::LineTypeFactories factories;
    factories[QStringLiteral("modem")] = [](const tapi::TelephonyConfig&,
                                            const std::vector<tapi::LineSection>& sections,
                                            QStringList& sectionProblems) -> std::unique_ptr<tapi::Provider> {
        std::vector<qv::modem::ModemLineConfig> lines;
        for (const tapi::LineSection& section : sections) {
            QStringList lineProblems;
            lines.push_back(qv::modem::ReadModemLineConfig(section.values, lineProblems));
            for (const QString& problem : lineProblems)
                sectionProblems
                    << QStringLiteral("telephony.conf [line%1]: %2").arg(section.index).arg(problem);
        }
        return qv::modem::MakeModemProvider(std::move(lines));
    };
    return tapi::InstallConfiguredProviders(settingsFolder, factories, &problems);
}

} // namespace vh
