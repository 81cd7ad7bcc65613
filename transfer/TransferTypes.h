// The transfer component's enumerations, event types and window message.
#pragma once

#include "common/Component.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <functional>

namespace qv {

// Posted to QvFile's own window: stream the next stretch of file data.
constexpr std::uint32_t MSG_SEND_DATA = 0x590;

enum TReceiveExistingFiles : int
{
    efCreateWithNewName,
    efOverwrite,
    efOverwriteIfNewer,
    efSkip,
    efResumeTransfer
};
enum TReceiveFileDateTime : int
{
    dtUseCurrent,
    dtUseOriginal
};
enum TTransferState : int
{
    tsIdleModeStart,
    tsListenModeStart,
    tsSendModeStart,
    tsFileSendBegin,
    tsFileSendRemoteSkipped,
    tsFileSendResumeAt,
    tsFileSendDone,
    tsSendModeEnd,
    tsReceiveModeStart,
    tsFileReceiveBegin,
    tsFileReceiveBadPacket,
    tsFileReceiveDone,
    tsReceiveModeEnd,
    tsError,
    // A file in place was not resumed: it is not the start of the one being
    // received (Param1 0), or the sender did not confirm that it is (1).
    // The existing-file fallback decides what happens next.
    tsFileReceiveNotResumed,
    // A receive that failed left this much of the file (Param1 bytes) for a
    // later resume; the file is not reported as received.
    tsFilePartiallyReceived
};
enum TTransferOperation : int
{
    toReceiving,
    toSending
};
enum TFileCompOperation : int
{
    coCompressing,
    coExpanding
};

enum TOperationMode : int
{
    omIdle,
    omListening,
    omSending,
    omReceiving
};

enum TProtocolState : int
{
    zsIdle,
    zsRzSeen,
    zsWaitFile,
    zsGetFileInfo,
    zsWaitData,
    zsGetData,
    zsWaitFin,
    zsWaitRinit,
    zsWaitRpos,
    zsSending,
    zsWaitEofAck,
    zsWaitAck,
    zsGetAttn,
    zsWaitCrc // receiver: the file in place is being checked against the sender's
};

// FullFileName is empty for the mode events; Param1 as each state documents.
using TTransferStateEvent = std::function<void(TComponent* Sender, TTransferState TransferState,
                                               const QString& FullFileName, int Param1)>;
using TTransferProgressEvent =
    std::function<void(TComponent* Sender, TTransferOperation TransferOperation, const QString& FullFileName,
                       int FileIndex, int FileBytes, int FilePerc, int TotalBytes, int TotalPerc)>;
// The handler may rename (a plain name; it is made safe again), redate or
// skip an incoming file.
using TTransferValidateReceivedFileEvent = std::function<void(
    TComponent* Sender, QByteArray& FileName, QDateTime& FileDateTime, int FileSize, bool& SkipThisFile)>;
using TFileCompProgressEvent =
    std::function<void(TComponent* Sender, TFileCompOperation FileCompOperation, int Percent)>;

// x * 100 / y truncated; an exact 100 reads 99 (100 is kept for completed
// files), and a zero total reads 0.
int TransferPercent(std::int64_t x, std::int64_t y);

} // namespace qv
