// The direct serial line's entry in the table of line types that start-up
// builds the service's providers from (telephony.conf, see TelephonyConfig.h):
//
//     {"serial", &qv::serialline::CreateSerialLineProvider}
#pragma once

#include "telephony/service/config/TelephonyConfig.h"

namespace qv::serialline {

// One serial line per `type = serial` section, in the order given (keys: see
// ReadSerialLineConfig). A section without a device is reported in `problems`
// and left out; a bad value of another key is reported and keeps its
// default. Null when no line is left.
std::unique_ptr<tapi::Provider> CreateSerialLineProvider(const tapi::TelephonyConfig& config,
                                                         const std::vector<tapi::LineSection>& sections,
                                                         QStringList& problems);

} // namespace qv::serialline
