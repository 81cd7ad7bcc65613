// telephony.conf as a user, an editor or a broken disk may leave it, and the
// numbers dialled on a tcp line: the file always yields at least one line,
// and a number either resolves to a host and port that can be connected to
// and shown, or is refused.
//
// Input: the bytes of telephony.conf. Every phonebook key and every line of
// the file is also dialled as a number.
#include "FuzzSupport.h"

#include "telephony/service/Provider.h"
#include "telephony/service/providers/modem/ModemFactory.h"
#include "telephony/service/providers/tcp/TcpNumber.h"
#include "telephony/service/providers/tcp/ConfiguredProviders.h"

#include <QFile>
#include <QTemporaryDir>

namespace {

using qv::fuzz::Check;

void CheckNumber(const QString& number, const QMap<QString, QString>& phonebook)
{
    const auto target = qv::tcp::ResolveTcpNumber(number, phonebook);
    if (!target)
        return;
    Check(!target->host.isEmpty() && target->port != 0, "a resolved number has a host and a port");
    for (QChar c : target->host)
        Check(c.unicode() > 0x20 && c.unicode() != 0x7F,
              "a resolved host holds no blanks or control characters");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    qv::fuzz::EnsureCoreApplication();
    // A folder per input: the settings reader keeps what it read of a path.
    QTemporaryDir dir;
    Check(dir.isValid(), "a temporary folder");
    {
        QFile file(tapi::TelephonyConfigPath(dir.path()));
        Check(file.open(QIODevice::WriteOnly), "telephony.conf can be written");
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }

    tapi::TelephonyConfig config = tapi::LoadTelephonyConfig(dir.path());
    const tapi::LineTypeFactories others{{QStringLiteral("modem"), &qv::modem::CreateModemProvider}};
    const auto providers = tapi::BuildConfiguredProviders(config, others);
    int lines = 0;
    for (const auto& provider : providers) {
        Check(provider != nullptr, "every provider exists");
        lines += provider->LineCount();
    }
    Check(lines >= 1, "there is always at least one line");

    for (auto it = config.phonebook.constBegin(); it != config.phonebook.constEnd(); ++it)
        CheckNumber(it.key(), config.phonebook);
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QString& line : text.split(QLatin1Char('\n')))
        CheckNumber(line, config.phonebook);
    return 0;
}
