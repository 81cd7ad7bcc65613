#include "app/LineConfigDialogs.h"

#include "telephony/service/providers/modem/ModemConfigDialog.h"
#include "telephony/service/providers/serial/SerialConfigDialog.h"
#include "telephony/service/providers/tcp/TcpConfigDialog.h"

namespace vh {

void RegisterLineConfigDialogs()
{
    qv::tcp::RegisterTcpConfigDialog();
    qv::modem::RegisterModemConfigDialog();
    qv::serialline::RegisterSerialConfigDialog();
}

} // namespace vh
