// The protocol engine behind QvFile: the received-byte handler with its one
// dispatch on protocol state and frame, the time-outs and retries, the stop
// procedure, the receiver and the sender. Internal to transfer/.
#pragma once

#include "common/FileList.h"
#include "common/FileStream.h"
#include "transfer/QvFile.h"
#include "transfer/ZmodemFrames.h"

#include <QDateTime>

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

    // ---- Sender (ZmodemSender.cpp)
    int SendFiles(const QString& fileList);

    static constexpr int kTimeoutMs = 6000;
    static constexpr int kMaxTimeouts = 3;
    // Timer id on QvFile's window while the port's output queue is full.
    static constexpr WPARAM kQueueTimerId = 1;
    static constexpr int kQueuePollMs = 2;

private:
    enum HeaderFormat
    {
        hfNone,
        hfBinary,
        hfHex
    };

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
    void EnterState(TProtocolState state);
    bool CountRetry();
    void ProgressRow(TTransferOperation op, std::int64_t fileBytes, int filePerc, std::int64_t totalBytes,
                     int totalPerc);
    void CloseTransferFile();

    // Frame output: 0, or the port's code after the operation was stopped
    // with it.
    int SendRaw(const QByteArray& bytes);
    int SendBinaryHeader(const zm::ZHeader& h);
    int SendHexHeader(const zm::ZHeader& h);
    int ResendLastHeader();
    // Encodes and writes one subpacket at once (announcements, ZCRCW
    // frames); 0 or the port's code, without stopping.
    int SendDataSubpacket(const std::uint8_t* data, std::size_t n, std::uint8_t frameEnd);
    int WriteBytes(const std::uint8_t* data, std::size_t n);

    // Receiver (ZmodemReceiver.cpp).
    void BeginReceiveOperation();
    bool SendReceiverInit(bool afterFile);
    void OnFileHeader(const zm::ZHeader& h, std::uint8_t format);
    void ProcessFileInfo(const std::uint8_t* data, std::size_t n);
    void OnZdataHeader(std::uint32_t position, std::uint8_t format);
    void OnFileData(const std::uint8_t* data, std::size_t n, std::uint8_t frameEnd);
    void OnEndOfFile(std::uint32_t position);
    bool AskForPosition();
    void SkipAnnouncedFile();
    int OpenReceiveTarget(bool resume, std::int64_t existingSize);
    void ApplyFileDate();

    // Sender (ZmodemSender.cpp).
    int StartHandshake();
    void SendFileHeader();
    void OnRinitInWaitRpos();
    void OnStartPosition(std::uint32_t p);
    void StartStreaming();
    void SendFileData();
    int ReadSubpacket(std::vector<std::uint8_t>& raw);
    int WritePending(bool& full);
    void ResendFrom(std::uint32_t p);
    void OnAckInWaitAck(std::uint32_t a);
    bool SendEndOfFile();
    void OnEofAcknowledged();
    void OnRemoteSkip();
    void NextFileOrFinish();
    bool SendFinish();
    void OnResumeRequest(std::uint32_t p);
    void ActOnDeferredRequests();
    std::int64_t FileSizeOnDisk();
    bool SeekSend(std::int64_t position);

    QvFile& m_owner;
    zm::ZFrameDecoder m_decoder;
    TProtocolState m_state = zsIdle;

    // Outgoing header and the format it went in.
    zm::ZHeader m_lastHeader;
    HeaderFormat m_lastFormat = hfNone;
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

    // Receiver.
    bool m_firstFile = true;
    QDateTime m_fileDate;
    std::int64_t m_position = 0;     // bytes of the file in place
    bool m_verifyResumeByte = false; // the first resumed byte must match the one on disk
    std::uint8_t m_resumeByte = 0;
    std::uint8_t m_zfileTransport = 0;

    // Sender.
    TDynamicFileList m_list;
    int m_nextIndex = 0;
    std::int64_t m_listTotal = 0;
    std::vector<bool> m_announced;
    std::int64_t m_sendPos = 0;  // next byte to go into a subpacket
    std::int64_t m_sendSize = 0; // size on disk noted when the stretch started
    int m_subpacketsSinceZdata = 0;
    std::vector<std::uint8_t> m_readBuf;
    std::int64_t m_readBufStart = 0;
    std::size_t m_readBufLen = 0;
    std::vector<std::uint8_t> m_raw;
    std::vector<std::uint8_t> m_pending; // encoded bytes not yet queued
    std::size_t m_pendingOffset = 0;
    std::int64_t m_pendingEndPos = 0; // m_sendPos once m_pending is out
    std::uint8_t m_pendingFrameEnd = 0;
    std::int64_t m_queueWaitSince = -1;
    WPARAM m_sendGeneration = 0;
    bool m_inDataLoop = false;
    bool m_rposPending = false;
    std::uint32_t m_rposPendingPos = 0;
    bool m_skipPending = false;
    std::int64_t m_ackExpected = 0;
    int m_finAttempts = 0;
    std::int64_t m_announcedAtMs = 0; // when the current announcement last went out
};

} // namespace qv
