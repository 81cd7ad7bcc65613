// The protocol engine behind QvFile: the received-byte handler with its one
// dispatch on protocol state and frame, the time-outs and retries, the stop
// procedure, the receiver and the sender. Internal to transfer/.
#pragma once

#include "common/FileList.h"
#include "common/FileStream.h"
#include "transfer/QvFile.h"
#include "transfer/ZmodemFrames.h"

#include <QDateTime>
#include <QHash>

#include <memory>
#include <vector>

namespace qv {

class ZmodemSession
{
public:
    explicit ZmodemSession(QvFile& owner);
    ~ZmodemSession();
    ZmodemSession(const ZmodemSession&) = delete;
    ZmodemSession& operator=(const ZmodemSession&) = delete;

    TProtocolState State() const { return m_state; }

    // ---- Engine (ZmodemEngine.cpp)
    void PortDataReceived(TComponent* sender, char* data, int size, WindowHandle& display);
    void TimeoutTick();
    void StopWithError(int code);
    void ResetRetries() { m_retries = 0; }
    // MSG_SEND_DATA and the queue-space timer.
    void OnSendData(WPARAM generation);
    // The linked port's state, as its watch reports it.
    void OnPortState(TPortState state, int param1);
    // The messages the session posts to QvFile's window besides MSG_SEND_DATA.
    static bool HandlesMessage(std::uint32_t msg);
    void OnMessage(std::uint32_t msg, WPARAM wparam);
    // Ends the wait that follows an "rz" in the received text, handing the
    // text held meanwhile to the port's client; nothing when none runs.
    void EndTentativeStart();

    static const QByteArray& CancelSequence();

    // ---- Sender (ZmodemSender.cpp)
    int SendFiles(const QString& fileList);

    static constexpr int kTimeoutMs = 6000;
    static constexpr int kMaxTimeouts = 3;
    // Timer id on QvFile's window while the data waits for room on the line.
    static constexpr WPARAM kQueueTimerId = 1;
    // Received bytes held after an "rz" before they count as plain text.
    static constexpr int kMaxHeldBytes = 1024;
    // CRC work per turn of the event loop, and the length from which the
    // receiver shows its check as progress.
    static constexpr std::int64_t kCrcBytesPerTurn = 512 * 1024;
    static constexpr std::int64_t kCrcProgressFrom = 1024 * 1024;

private:
    enum HeaderFormat
    {
        hfNone,
        hfBinary,
        hfBinary32, // binary with CRC-32, and so is the frame it opens
        hfHex
    };
    // The binary format this session sends in.
    HeaderFormat BinaryFormat() const { return m_crc32 ? hfBinary32 : hfBinary; }

    QvSerialPort* Port() const;
    TTransfer& Xfer() { return m_owner.m_transfer; }
    bool Destroying() const { return m_owner.IsDestroying(); }

    // Engine.
    bool OnDecoderEvent(const zm::ZFrameDecoder::Event& ev);
    void DispatchHeader(const zm::ZHeader& h, std::uint8_t format);
    void HandleGoodSubpacket(const zm::ZFrameDecoder::Event& ev);
    void HandleBadPacket();
    void RestartTimeout();
    void TimerOff();
    void FinishOperation(bool sendClosing = true);
    void FalseStart();
    void OnRemoteReceiver();
    // Calls the port's saved handler with `text` and shows it where the
    // handler asks, since it is not the chunk the port would show.
    void ForwardText(TComponent* sender, QByteArray text);
    void ForwardHeld(TComponent* sender);
    bool Alive() const;
    void EnterState(TProtocolState state);
    bool CountRetry();
    void ProgressRow(TTransferOperation op, std::int64_t fileBytes, int filePerc, std::int64_t totalBytes,
                     int totalPerc);
    // Whether the data at `position` earns a progress row: the first of a
    // stretch, then whenever the file's percentage moves or enough has gone
    // since the last row, so that a display keeps up at any speed.
    bool ProgressDue(std::int64_t position);
    void CloseTransferFile();

    // Frame output: 0, or the port's code after the operation was stopped
    // with it.
    int SendRaw(const QByteArray& bytes);
    // What ResendLastHeader sends again: the header, and the subpacket
    // that went with it, if any.
    void RememberSent(const zm::ZHeader& h, HeaderFormat format, const QByteArray& frame = {});
    int SendBinaryHeader(const zm::ZHeader& h);
    int SendHexHeader(const zm::ZHeader& h);
    int ResendLastHeader();
    // A binary header and the subpacket that follows it (announcements,
    // ZCRCW frames) in one write; 0, or the port's code after stopping.
    int SendFrame(const zm::ZHeader& h, const std::uint8_t* data, std::size_t n, std::uint8_t frameEnd);
    int WriteBytes(const std::uint8_t* data, std::size_t n);

    // Receiver (ZmodemReceiver.cpp).
    enum FileAction
    {
        faSkip,
        faCreate,
        faReplace,
        faResume
    };
    void BeginReceiveOperation();
    bool SendReceiverInit(bool afterFile);
    void OnFileHeader(const zm::ZHeader& h, std::uint8_t format);
    void ProcessFileInfo(const std::uint8_t* data, std::size_t n);
    void DecideAndAct(TReceiveExistingFiles policy);
    void AskForResumeCheck(std::int64_t length);
    void OnCrcAnswer(std::uint32_t crc);
    void ResumeVerdict(bool answered);
    void ActOnFile(FileAction action, std::int64_t existing);
    void OnZdataHeader(std::uint32_t position, std::uint8_t format);
    void OnFileData(const std::uint8_t* data, std::size_t n, std::uint8_t frameEnd);
    // Writes the received data held back for fewer writes; false (after
    // stopping with -93) when the file refuses it.
    bool FlushReceived();
    void OnEndOfFile(std::uint32_t position);
    bool AskForPosition();
    void SkipAnnouncedFile();
    void ApplyFileDate();

    // Sender (ZmodemSender.cpp).
    int StartHandshake();
    void SendFileHeader();
    void OnRinitInWaitRpos();
    void OnStartPosition(std::uint32_t p);
    void StartStreaming();
    void SendFileData();
    // The file's bytes from `position` on in the read buffer, at least
    // `want` of them: 0 with `data` and `available`, or -93.
    int FileBytesAt(std::int64_t position, std::size_t want, const std::uint8_t*& data,
                    std::size_t& available);
    // Encodes subpackets from the next one on until about `room` bytes.
    int BuildBatch(std::size_t room);
    // Moves the sent position over the subpackets now written whole.
    void BatchWritten();
    void WaitForLine(bool queueFull);
    void ResendFrom(std::uint32_t p);
    void OnAckInWaitAck(std::uint32_t a);
    bool SendEndOfFile();
    // ZEOF has gone (alone or after the file's last subpacket): its answer
    // is waited for.
    void AwaitEndOfFileAnswer();
    void OnEofAcknowledged();
    void OnRemoteSkip();
    void NextFileOrFinish();
    bool SendFinish();
    void OnResumeRequest(std::uint32_t p);
    void ActOnDeferredRequests();
    std::int64_t FileSizeOnDisk();
    bool SeekSend(std::int64_t position);
    void OnCrcRequest(std::uint32_t length);
    void ReportLeftOut(const QString& name, int code);

    // The CRC-32 of the first bytes of the current file, a stretch per turn
    // of the event loop (ZmodemEngine.cpp).
    void StartCrcScan(std::int64_t length);
    void CancelCrcScan();
    void CrcScanStep(WPARAM generation);
    void CrcScanDone();

    QvFile& m_owner;
    zm::ZFrameDecoder m_decoder;
    TProtocolState m_state = zsIdle;

    // Outgoing header and the format it went in.
    zm::ZHeader m_lastHeader;
    HeaderFormat m_lastFormat = hfNone;
    // Sending: the receiver offered CRC-32 in its ZRINIT, so every binary
    // header and subpacket goes with it.
    bool m_crc32 = false;
    // A ZFILE or ZCRCW frame is resent whole: its subpacket, encoded.
    QByteArray m_lastFrameData;

    // Current file.
    std::unique_ptr<TQvFileStream> m_file;
    QString m_fileName;
    std::int64_t m_fileSize = 0; // S: listed (sending) or announced (receiving)
    int m_fileIndex = 0;
    std::int64_t m_cumulative = 0; // C
    std::int64_t m_total = 0;      // T

    // Counters and flags.
    int m_retries = 0;
    int m_timeouts = 0;
    bool m_stopped = false;
    bool m_abort = false;
    bool m_expectOO = false;
    bool m_discard = false;
    bool m_doNotForward = false;
    std::weak_ptr<bool> m_alive;

    // The wait after an "rz": what arrived meanwhile, and whether the hex
    // header that ended it leaves its CR, LF and XON to be dropped.
    QByteArray m_held;
    bool m_dropHexTrailer = false;
    // Each operation has its number; messages of an earlier one are stale.
    WPARAM m_operation = 0;

    // CRC scan.
    bool m_crcScanning = false;
    WPARAM m_crcGeneration = 0;
    std::int64_t m_crcLength = 0;
    std::int64_t m_crcDone = 0;
    std::uint32_t m_crcRegister = 0;
    std::vector<std::uint8_t> m_crcBuffer;

    // Receiver.
    bool m_firstFile = true;
    QDateTime m_fileDate;
    std::int64_t m_position = 0;         // bytes of the file in place, those held back included
    std::vector<std::uint8_t> m_fileBuf; // received data not yet written
    std::size_t m_fileBufLen = 0;
    std::uint8_t m_zfileTransport = 0;
    QByteArray m_announcedName;              // as the sender wrote it
    QString m_incomingName;                  // the safe name it is stored under
    std::unique_ptr<TFolderHandle> m_folder; // open while one announcement is decided
    QHash<QString, QByteArray> m_written; // names stored in this operation, and what they were announced as
    bool m_resumeLocalDone = false;
    bool m_resumeRemoteKnown = false;
    std::uint32_t m_resumeLocalCrc = 0;
    std::uint32_t m_resumeRemoteCrc = 0;
    std::int64_t m_resumeLength = 0;

    // Sender.
    TDynamicFileList m_list;
    int m_nextIndex = 0;
    std::int64_t m_listTotal = 0;
    std::vector<bool> m_announced;
    std::int64_t m_sendPos = 0;  // after the last subpacket written whole
    std::int64_t m_sendSize = 0; // size on disk noted when the stretch started
    int m_subpacketsSinceZdata = 0;
    std::vector<std::uint8_t> m_readBuf;
    std::int64_t m_readBufStart = 0;
    std::size_t m_readBufLen = 0;
    // The batch: encoded subpackets written in as few writes as the line
    // allows, where each of them ends, and the file position after it.
    struct BatchEnd
    {
        std::size_t offset;
        std::int64_t position;
        std::uint8_t frameEnd;
    };
    std::vector<std::uint8_t> m_pending;
    // The ZDATA header that opens the stream goes in the same write as the
    // first subpackets, and ZEOF in the same write as the last one: a small
    // file then takes two writes where it took four.
    QByteArray m_headerAhead;
    std::size_t m_pendingLen = 0;
    std::size_t m_pendingOffset = 0; // written so far
    std::vector<BatchEnd> m_batchEnds;
    std::size_t m_batchDone = 0;      // subpackets of the batch written whole
    std::int64_t m_encodePos = 0;     // next byte to go into a subpacket
    std::int64_t m_waitingSince = -1; // since when the line has taken nothing
    int m_queueBackoffMs = 0;
    std::int64_t m_rowPos = -1; // position of the last data progress row
    WPARAM m_sendGeneration = 0;
    bool m_inDataLoop = false;
    bool m_rposPending = false;
    std::uint32_t m_rposPendingPos = 0;
    bool m_skipPending = false;
    std::int64_t m_ackExpected = 0;
    int m_finAttempts = 0;
    std::int64_t m_announcedAtMs = 0; // when the current announcement last went out
    int m_leftOut = 0;                // files of the list that did not go
    QList<TFileListOmission> m_omitted;
};

} // namespace qv
