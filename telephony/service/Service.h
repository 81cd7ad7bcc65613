// Setting up the process-wide telephony service.
//
// The service offers the devices of the providers installed here: lines are
// numbered from 0 across the providers in installation order (all lines of the
// first provider, then those of the second, ...), and phones likewise. The
// program installs its providers at start-up (from telephony.conf); tests
// install the sim exchange:
//
//     auto sim = std::make_unique<tapi::sim::SimExchange>();
//     auto* exchange = sim.get();
//     exchange->AddLine({...});
//     tapi::Service::Install(std::move(sim));
//     ...
//     tapi::Service::Uninstall();
//
// Until something is installed the service is absent: lineInitializeExW and
// phoneInitializeExW fail with ...ERR_NODRIVER, as on a machine without
// telephony. Install is refused while an application is initialised;
// Uninstall first shuts every application down without delivering anything
// more to them.
#pragma once

#include "telephony/service/Provider.h"

#include <functional>
#include <memory>
#include <vector>

namespace tapi {

class Service
{
public:
    // Adds a provider after those already installed and makes the service
    // present. False (and the provider is destroyed) while an application is
    // initialised.
    static bool Install(std::unique_ptr<Provider> provider);
    // Removes every application, every provider and every queued message.
    static void Uninstall();
    static bool IsInstalled();

    // The GUI registers the configuration dialog of a provider here, so that
    // the service itself never needs a GUI library. The handler runs modally
    // from lineConfigDialog and returns 0 or a LINEERR_ value.
    using ConfigDialogHandler =
        std::function<LONG(Provider& provider, int line, HWND owner, const QString& deviceClass)>;
    static void SetConfigDialogHandler(const QString& providerName, ConfigDialogHandler handler);

    // Beyond the documented API: why line `deviceId`'s last open, set-up or
    // hang-up failed, in its provider's words (Provider::LineFailure); empty
    // when nothing failed or the provider does not say. An application shows
    // it next to the code it got from lineOpen, LINE_CLOSE or a failed drop.
    static QString LineFailure(DWORD deviceId);

    // Messages queued and not yet delivered (for tests that wait on quiet).
    static int PendingMessages();
    // Delivers queued messages now, as the event loop would (tests).
    static void DeliverPending();
    // The provider's call behind an application's call handle; 0 if unknown.
    static CallId CallOfHandle(HCALL handle);
};

} // namespace tapi
