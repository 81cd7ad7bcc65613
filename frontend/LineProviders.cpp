#include "frontend/LineProviders.h"

#include "telephony/service/Service.h"
#include "telephony/service/providers/modem/ModemFactory.h"
#include "telephony/service/providers/serial/SerialLineFactory.h"
#include "telephony/service/providers/tcp/ConfiguredProviders.h"

namespace vh {

int InstallLineProviders(const QString& settingsFolder, QStringList& problems)
{
    return tapi::InstallConfiguredProviders(
        settingsFolder,
        {{QStringLiteral("modem"), &qv::modem::CreateModemProvider},
         {QStringLiteral("serial"), &qv::serialline::CreateSerialLineProvider}},
        &problems);
}

LineProvidersRelease::~LineProvidersRelease()
{
    tapi::Service::Uninstall();
}

} // namespace vh
