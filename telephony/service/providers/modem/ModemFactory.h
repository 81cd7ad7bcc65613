// The modem line's entry in the table of line types that start-up builds the
// service's providers from (telephony.conf, see TelephonyConfig.h):
//
//     tapi::InstallConfiguredProviders(folder, {{"modem", &qv::modem::CreateModemProvider}}, &problems);
#pragma once

#include "telephony/service/config/TelephonyConfig.h"

namespace qv::modem {

// One modem line per `type = modem` section, in the order given (keys: see
// ReadModemLineConfig). A section without a usable device is reported in
// `problems` and left out; a bad value of another key is reported and keeps
// its default. Null when no line is left.
std::unique_ptr<tapi::Provider> CreateModemProvider(const tapi::TelephonyConfig& config,
                                                    const std::vector<tapi::LineSection>& sections,
                                                    QStringList& problems);

} // namespace qv::modem
