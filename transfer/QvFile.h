// QvFile: ZMODEM file transfer over a linked QvSerialPort.
//
// The component has no thread of its own. While it works it holds the port's
// OnReceiveData handler (and MonitorReceiveData), drives its state machine
// from the received bytes, uses the port's timer for its 6 s time-outs and
// streams file data from a message posted to its own window, so the event
// loop keeps running between subpackets. It reports through two events:
//
//   OnTransferStateEvent(Sender, TransferState, FullFileName, Param1)
//   OnTransferProgress(Sender, Operation, FullFileName, FileIndex, FileBytes,
//                      FilePerc, TotalBytes, TotalPerc)
//
// Typical use: Transfer().SetLinkedTo(&port); Transfer().SetReceiveFolder(dir);
// ListenMode(true) to accept files the remote sends; SendFiles(names) to send
// (names separated by CR LF or "|"); StopTransfer() to end whatever runs.
// Every operation ends with tsSendModeEnd / tsReceiveModeEnd (Param1 0 after
// the closing exchange, 1 when stopped), preceded by tsError(code) when it
// failed, and followed by tsListenModeStart or tsIdleModeStart.
//
// When the far side answers a typed "rz" with a receiver waiting for files,
// the component steps aside (no receive, no event of the operation, every
// byte of text passed on) and raises OnRemoteReceiverReady from the event
// loop; the handler sends files with SendFiles or turns the receiver away
// with CancelRemoteReceiver.
//
// Received names are never trusted: a file is only ever written inside
// ReceiveFolder, under a plain name (see SafeReceivedName), through a
// descriptor of the folder, and only when it is a regular file with one link
// (see TFolderHandle). A resume (efResumeTransfer) goes on from the end of
// the file in place only after the sender's CRC-32 of as many bytes matches
// it (ZCRC); otherwise tsFileReceiveNotResumed, and ResumedTransferAlternative
// decides. A receive that fails reports what it kept (tsFilePartiallyReceived).
// File dates are seconds since 1970 in UTC both ways. When the linked port
// closes or fails, a running transfer stops with the port's code (508 for a
// plain close).
#pragma once

#include "common/Component.h"
#include "serial/QvSerialPort.h"
#include "transfer/TransferTypes.h"

#include <memory>

namespace qv {

class QvSerialPort;
class QvFile;
class ZmodemSession;

// The far side runs a receiver that waits for files.
using TRemoteReceiverEvent = std::function<void(QvFile* Sender)>;

class TTransfer
{
public:
    explicit TTransfer(QvFile* owner) : m_owner(owner) {}
    TTransfer(const TTransfer&) = delete;
    TTransfer& operator=(const TTransfer&) = delete;

    // The port the transfers run on. Changing it gives the previous port
    // back (its handler and monitoring) and stops what runs on it. Cleared
    // when the port is destroyed.
    QvSerialPort* LinkedTo() const;
    void SetLinkedTo(QvSerialPort* port);

    // CRC errors tolerated per send operation or per listening period (122).
    int MaxRetries() const { return m_maxRetries; }
    void SetMaxRetries(int value) { m_maxRetries = value; }

    // Leading and trailing blanks are stripped; a non-empty folder gets a
    // trailing "/". Received files go nowhere else.
    QString ReceiveFolder() const { return m_receiveFolder; }
    void SetReceiveFolder(const QString& folder);

    TReceiveExistingFiles ReceiveExistingFiles() const { return m_receiveExistingFiles; }
    void SetReceiveExistingFiles(TReceiveExistingFiles value) { m_receiveExistingFiles = value; }
    // efResumeTransfer is refused with a message box.
    TReceiveExistingFiles ResumedTransferAlternative() const { return m_resumedAlternative; }
    void SetResumedTransferAlternative(TReceiveExistingFiles value);
    bool ResumedTransferCheckDate() const { return m_resumedCheckDate; }
    void SetResumedTransferCheckDate(bool value) { m_resumedCheckDate = value; }
    TReceiveFileDateTime ReceiveFileDateTime() const { return m_receiveFileDateTime; }
    void SetReceiveFileDateTime(TReceiveFileDateTime value) { m_receiveFileDateTime = value; }

    // Figures of the running operation (0 when none runs).
    int TotalFileCount() const { return m_totalFileCount; }
    int TotalFileSize() const { return m_totalFileSize; }
    int FileSize() const { return m_fileSize; }

private:
    friend class QvFile;
    friend class ZmodemSession;

    QvFile* m_owner;
    int m_maxRetries = 122;
    QString m_receiveFolder;
    TReceiveExistingFiles m_receiveExistingFiles = efCreateWithNewName;
    TReceiveExistingFiles m_resumedAlternative = efCreateWithNewName;
    bool m_resumedCheckDate = false;
    TReceiveFileDateTime m_receiveFileDateTime = dtUseCurrent;
    int m_totalFileCount = 0;
    int m_totalFileSize = 0;
    int m_fileSize = 0;
};

// Settings of a compression feature this system does not perform: stored
// only, OnFileCompProgress never fires.
class TFileComp
{
public:
    TFileComp() = default;
    TFileComp(const TFileComp&) = delete;
    TFileComp& operator=(const TFileComp&) = delete;

    // ".BKP" at first. A value without a leading "." gets one; the result
    // must be 2 to 4 characters without "*", "?", "\" or "|" after the dot,
    // else "Invalid file extension name." is shown and the value stays.
    QString FileExt() const { return m_fileExt; }
    void SetFileExt(const QString& value);
    QString Password() const { return m_password; }
    void SetPassword(const QString& value) { m_password = value; }

private:
    QString m_fileExt = ".BKP";
    QString m_password;
};

class QvFile : public TQVT_ComponentVCL
{
public:
    explicit QvFile(TComponent* owner = nullptr);
    ~QvFile() override;

    TFileComp& Compress() { return m_compress; }
    TTransfer& Transfer() { return m_transfer; }
    const TTransfer& Transfer() const { return m_transfer; }

    const TTransferValidateReceivedFileEvent& OnTransferValidateReceivedFile() const { return m_onValidate; }
    void SetOnTransferValidateReceivedFile(TTransferValidateReceivedFileEvent h)
    {
        m_onValidate = std::move(h);
    }
    const TTransferStateEvent& OnTransferStateEvent() const { return m_onState; }
    void SetOnTransferStateEvent(TTransferStateEvent h) { m_onState = std::move(h); }
    const TTransferProgressEvent& OnTransferProgress() const { return m_onProgress; }
    void SetOnTransferProgress(TTransferProgressEvent h) { m_onProgress = std::move(h); }
    const TFileCompProgressEvent& OnFileCompProgress() const { return m_onFileCompProgress; }
    void SetOnFileCompProgress(TFileCompProgressEvent h) { m_onFileCompProgress = std::move(h); }
    const TRemoteReceiverEvent& OnRemoteReceiverReady() const { return m_onRemoteReceiver; }
    void SetOnRemoteReceiverReady(TRemoteReceiverEvent h) { m_onRemoteReceiver = std::move(h); }

    // Starts sending the files of `fileList` (names and patterns separated by
    // "|", CR or LF; a later name without a folder takes the first one's).
    // 0 once the handshake is under way; 603 no port, 508 port not open, 604
    // port buffers below 2048, 605 an operation runs, 606 no file to send,
    // -10 a malformed list, or the port's code when the first write fails.
    // Empty files are sent like the others. A name that matches nothing, or
    // a file that cannot be opened when its turn comes, is reported with
    // tsError and tsFileSendDone(1) and passed over; the operation then ends
    // with tsSendModeEnd(1) even after the closing exchange.
    int SendFiles(const QString& fileList);
    // Accept files the remote starts sending. 603 without a port; 604 when
    // the port's buffers are below 2048 (listening stays off). While an
    // operation runs, the setting takes effect when it ends.
    int ListenMode(bool enable);
    bool IsListening() const { return m_listen; }
    // Ends whatever runs (cancel sequence to the remote); nothing when idle,
    // and input that is waiting at the port stays there.
    void StopTransfer();
    // Sends the cancel sequence, so that a receiver the far side runs ends.
    // 0, 603 without a port, 508 when the port is not open, or the port's
    // code. Nothing of this component changes.
    int CancelRemoteReceiver();

    // True when `name` (wildcards "*" and "?" allowed in its last part)
    // matches a file; folders never count.
    bool FileExists(const QString& name) const;

    TOperationMode OperationMode() const { return m_mode; }
    // A send or a receive runs (listening alone is not one).
    bool IsTransferring() const { return m_mode == omSending || m_mode == omReceiving; }
    TProtocolState ProtocolState() const;

protected:
    void Notification(TComponent* component, TOperation operation) override;
    void WndProc(TMessage& message) override;

private:
    friend class TTransfer;
    friend class ZmodemSession;

    void TakeOverPort();
    void GivePortBack();
    void LinkPort(QvSerialPort* port);
    void FireRemoteReceiverReady();

    void FireState(TTransferState state, const QString& name, int param1);
    void FireProgress(TTransferOperation op, const QString& name, int fileIndex, int fileBytes, int filePerc,
                      int totalBytes, int totalPerc);

    TFileComp m_compress;
    TTransfer m_transfer;
    TTransferValidateReceivedFileEvent m_onValidate;
    TTransferStateEvent m_onState;
    TTransferProgressEvent m_onProgress;
    TFileCompProgressEvent m_onFileCompProgress;
    TRemoteReceiverEvent m_onRemoteReceiver;

    ComponentLink<QvSerialPort> m_port;
    bool m_portSaved = false;
    TReceiveDataEvent m_savedReceiveData;
    bool m_savedMonitor = false;

    TOperationMode m_mode = omIdle;
    bool m_listen = false;
    std::unique_ptr<ZmodemSession> m_session;
    std::shared_ptr<bool> m_alive;
};

} // namespace qv
