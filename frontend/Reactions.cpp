#include "frontend/Reactions.h"

#include "frontend/StatusColors.h"

namespace vh {

namespace {

Reaction Log(const QString& line)
{
    return Reaction{line, std::nullopt};
}

Reaction LogWithStatus(const QString& line, int color, const QString& status)
{
    return Reaction{line, StatusLine{color, status}};
}

} // namespace

std::optional<Reaction> LineStateReaction(qv::TLineState state, const QString& errorText)
{
    switch (state) {
    case qv::lsActivated:
        return LogWithStatus(QStringLiteral(">Telephone device is activated"), color::StatusNormal,
                             QStringLiteral(u"سخت افزار فعال است"));
    case qv::lsDeactivated:
        return LogWithStatus(QStringLiteral(">Telephone device is deactivated"), color::StatusError,
                             QStringLiteral(u"سخت افزار غير فعال است"));
    case qv::lsError:
        return Log(QStringLiteral(">Error: ") + errorText);
    }
    return std::nullopt;
}

std::optional<Reaction> CallStateReaction(qv::TCallState state, int param1, const QString& errorText)
{
    switch (state) {
    case qv::csDisconnected:
        return LogWithStatus(QStringLiteral(">Disconnected"), color::StatusError,
                             QStringLiteral(u"ارتباط قطع گرديد"));
    case qv::csConnected:
        return LogWithStatus(QStringLiteral(">Connected."), color::StatusSuccess,
                             QStringLiteral(u"ارتباط برقرار گرديد"));
    case qv::csProceeding:
        return LogWithStatus(QStringLiteral(">Proceeding..."), color::StatusNormal,
                             QStringLiteral(u"در حال انجام عمليات"));
    case qv::csDialing:
        return LogWithStatus(QStringLiteral(">Dialing..."), color::StatusNormal,
                             QStringLiteral(u"در حال شماره گيري..."));
    case qv::csRemotePartyDisconnected:
        return LogWithStatus(QStringLiteral(">The remote party has disconnected"), color::StatusNormal,
                             QStringLiteral(u"قطع ارتباط از جانب سيستم مقابل"));
    case qv::csBusy:
        // A call that did not go through for another reason than a busy line
        // (refused, unreachable, not answered) says which.
        return LogWithStatus(param1 != 0 ? QStringLiteral(">") + errorText : QStringLiteral(">Busy"),
                             color::StatusNormal, QStringLiteral(u"خط اشغال است"));
    case qv::csOffering:
        return Log(QStringLiteral(">A new call arrives"));
    case qv::csRing:
        return Log(QStringLiteral(">Ring: ") + QString::number(param1));
    case qv::csError:
        return Log(QStringLiteral(">Error: ") + errorText);
    case qv::csOfferedCallDropped:
        return Log(QStringLiteral(">Offered Call Dropped"));
    case qv::csWaitingDisconnection:
        return LogWithStatus(QStringLiteral(">Waiting for disconnection"), color::StatusNormal,
                             QStringLiteral(u"در حال انتظار جهت قطع ارتباط"));
    case qv::csNoDialTone:
        return Log(QStringLiteral(">No dial tone detected"));
    case qv::csRingBack:
        return Log(QStringLiteral(">Ringback tone detected"));
    case qv::csDialTone:
    case qv::csOnHold:
    case qv::csUnhold:
    case qv::csInConference:
    case qv::csRemovedFromConference:
    case qv::csWaitingForFaxCommand:
        break;
    }
    return std::nullopt;
}

Reaction TransferStateReaction(qv::TTransferState state, const QString& name, int param1,
                               const QString& errorText)
{
    const QString T = QStringLiteral("TRANSFER>");
    switch (state) {
    case qv::tsIdleModeStart:
        return LogWithStatus(T + QStringLiteral("Idle Mode"), color::StatusNormal,
                             QStringLiteral(u"در حالت عادي"));
    case qv::tsListenModeStart:
        return LogWithStatus(T + QStringLiteral("Listening Mode"), color::StatusNormal,
                             QStringLiteral(u"در حالت انتظار"));
    case qv::tsSendModeStart:
        return Log(T + QStringLiteral("Send Mode"));
    case qv::tsFileSendBegin:
        return Log(T + QStringLiteral("Sending File: ") + name);
    case qv::tsFileSendRemoteSkipped:
        return Log(T + QStringLiteral("Remote Skipped the file ") + name);
    case qv::tsFileSendResumeAt:
        return Log(T + QStringLiteral("Request to resume file transmition at position ") +
                   QString::number(param1));
    case qv::tsFileSendDone:
        // Only 1 means failure here.
        if (param1 == 1)
            return LogWithStatus(T + QStringLiteral("File NOT sent successfully: ") + name,
                                 color::StatusError, QStringLiteral(u"خطا :ارسال با مشکل مواجه گرديد"));
        return LogWithStatus(T + QStringLiteral("File sent successfully: ") + name, color::StatusSuccess,
                             QStringLiteral(u"ارسال با موفقيت انجام گرديد"));
    case qv::tsSendModeEnd:
        if (param1 == 1)
            return LogWithStatus(T + QStringLiteral("Send operation did NOT complete successfully"),
                                 color::StatusError, QStringLiteral(u"خطا : عمليات با مشکل  مواجه گرديد"));
        return LogWithStatus(T + QStringLiteral("Send operation complete successfully"), color::StatusSuccess,
                             QStringLiteral(u"عمليات با موفقيت انجام گرديد"));
    case qv::tsReceiveModeStart:
        return Log(T + QStringLiteral("Receive Mode"));
    case qv::tsFileReceiveBegin:
        if (param1 == 0)
            return Log(T + QStringLiteral("Receiving File: ") + name);
        return Log(T + QStringLiteral("File Skipped: ") + name);
    case qv::tsFileReceiveBadPacket:
        return Log(T + QStringLiteral("Bad Packet Received: ") + name);
    case qv::tsFileReceiveDone:
        return LogWithStatus(T + QStringLiteral("File received completely: ") + name, color::StatusSuccess,
                             QStringLiteral(u"فايل با موفقيت دريافت گرديد"));
    case qv::tsReceiveModeEnd:
        // Anything but 0 means failure here.
        if (param1 == 0)
            return LogWithStatus(T + QStringLiteral("Receive operation complete successfully"),
                                 color::StatusSuccess,
                                 QStringLiteral(u"عمليات دريافت با موفقيت انجام گرديد"));
        return LogWithStatus(T + QStringLiteral("Receive operation did NOT complete successfully"),
                             color::StatusError, QStringLiteral(u"خطا : عمليات دريافت با مشکل مواجه گرديد"));
    case qv::tsError:
        return Log(T + QStringLiteral("Following error occurred during transmission of the file ") + name +
                   QStringLiteral(" : ") + errorText);
    case qv::tsFileReceiveNotResumed:
        if (param1 == 0)
            return Log(
                T + QStringLiteral("Not resumed, the file in place is not the start of the one received: ") +
                name);
        return Log(T + QStringLiteral("Not resumed, the sender did not confirm the file in place: ") + name);
    case qv::tsFilePartiallyReceived:
        return Log(T + QStringLiteral("Partial file kept for a later resume: ") + name +
                   QStringLiteral(" (%1 bytes)").arg(param1));
    }
    return Log(T + QStringLiteral("State ") + QString::number(int(state)));
}

RingDecision DecideRing(int ringCount, const QString& ringField, bool autoAnswer)
{
    RingDecision decision;
    bool ok = false;
    const int wanted = ringField.trimmed().toInt(&ok);
    if (!ok) {
        decision.conversionError = QStringLiteral("'%1' is not a valid integer value").arg(ringField);
        return decision;
    }
    decision.answer = autoAnswer && ringCount == wanted;
    return decision;
}

QString ErrorLine(const QString& message)
{
    return QStringLiteral(">Error: ") + message;
}

QString TransferErrorLine(const QString& message)
{
    return QStringLiteral("TRANSFER>Error: ") + message;
}

QString NoCarrierLine()
{
    return QStringLiteral(">No carrier detected.");
}

QString RemoteWaitingLine()
{
    return QStringLiteral("TRANSFER>The remote is waiting for files");
}

QString KeysNotSentLine()
{
    return QStringLiteral("TRANSFER>Typed keys are not sent while files are moving");
}

QString UnsendableNameLine(const QString& name)
{
    return TransferErrorLine(
        QStringLiteral("the file name \"%1\" contains a line break or \"|\" and cannot be sent").arg(name));
}

QString WithLineFailure(const QString& message, const QString& failure)
{
    return failure.isEmpty() ? message : message + QLatin1Char(' ') + failure;
}

QString LineActivationError(const QString& lineName, const QString& message)
{
    return QStringLiteral("Error while activating the telephone device.\r\n\r\nTelephone device name: ") +
           lineName + QStringLiteral("\r\nError message: ") + message;
}

} // namespace vh
