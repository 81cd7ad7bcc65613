#include "telephony/service/providers/serial/SerialLineFactory.h"

#include "telephony/service/providers/serial/SerialLineProvider.h"

namespace qv::serialline {

std::unique_ptr<tapi::Provider> CreateSerialLineProvider(const tapi::TelephonyConfig& config,
                                                         const std::vector<tapi::LineSection>& sections,
                                                         QStringList& problems)
{
    std::vector<SerialLineConfig> lines;
    tapi::LineSettingsFile file{config.path, {}};
    for (const tapi::LineSection& section : sections) {
        QStringList found;
        SerialLineConfig line = ReadSerialLineConfig(section.values, found);
        for (const QString& p : found)
            problems << QStringLiteral("telephony.conf [line%1]: %2").arg(section.index).arg(p);
        if (line.port.device.isEmpty()) {
            problems << QStringLiteral("telephony.conf [line%1]: serial line left out").arg(section.index);
            continue;
        }
        lines.push_back(std::move(line));
        file.sections.push_back(section.index);
    }
    if (lines.empty())
        return nullptr;
    return std::make_unique<SerialLineProvider>(std::move(lines), SerialLineProvider::DeviceFactory{},
                                                std::move(file));
}

} // namespace qv::serialline
