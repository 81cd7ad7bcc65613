#include "cli/TransferJob.h"

#include "cli/ExitStatus.h"

#include "common/Clock.h"
#include "frontend/Reactions.h"
#include "frontend/SendList.h"

#include <QFileInfo>

namespace vh::cli {

namespace {

QString WithCode(const QString& message, int code)
{
    return QStringLiteral("%1 (code %2)").arg(message).arg(code);
}

std::int64_t Now()
{
    return qv::Clock::Instance().MonotonicMs();
}

} // namespace

QString SendableProblem(const QString& name)
{
    const QFileInfo info(name);
    if (!info.exists())
        return QStringLiteral("cannot send '%1': no such file").arg(name);
    if (!info.isFile())
        return QStringLiteral("cannot send '%1': not a file").arg(name);
    if (!info.isReadable())
        return QStringLiteral("cannot send '%1': permission denied").arg(name);
    return QString();
}

TransferJob::TransferJob(qv::QvFile& file, Report& report, QStringList files, Finished finished, Span span)
    : m_file(file), m_report(report), m_files(std::move(files)), m_finished(std::move(finished)),
      m_span(span), m_sending(!m_files.isEmpty())
{
    m_file.SetOnTransferStateEvent([this](qv::TComponent*, qv::TTransferState state, const QString& name,
                                          int param1) { StateEvent(state, name, param1); });
    m_file.SetOnTransferProgress([this](qv::TComponent*, qv::TTransferOperation, const QString& name,
                                        int fileIndex, int fileBytes, int, int totalBytes,
                                        int) { ProgressEvent(name, fileIndex, fileBytes, totalBytes); });
}

TransferJob::~TransferJob()
{
    m_file.SetOnTransferStateEvent(nullptr);
    m_file.SetOnTransferProgress(nullptr);
}

int TransferJob::Listen()
{
    return m_file.ListenMode(true);
}

void TransferJob::PortOpened()
{
    if (!m_sending || m_started)
        return;
    m_started = true;
    Send(m_files);
}

bool TransferJob::Send(const QStringList& files)
{
    QStringList refused;
    const QString list = BuildSendList(files, refused);
    for (const QString& name : refused)
        m_report.Log(UnsendableNameLine(name));
    if (!refused.isEmpty()) {
        Finish(
            {exitstatus::WorkFailed, QStringLiteral("a file name cannot be sent: %1").arg(refused.first())});
        return false;
    }
    const int code = m_file.SendFiles(list);
    if (code != 0) {
        const QString message = m_file.GetErrorMessage(code);
        m_report.Log(TransferErrorLine(message));
        Finish({exitstatus::WorkFailed, WithCode(message, code)});
        return false;
    }
    return true;
}

void TransferJob::Stop(const QString& reason)
{
    NoteStopReason(reason);
    m_file.StopTransfer();
}

void TransferJob::NoteStopReason(const QString& reason)
{
    // Between a chat's transfers there is nothing for the reason to explain.
    if (m_span == Span::EveryOperation && !Running())
        return;
    if (m_stopReason.isEmpty())
        m_stopReason = reason;
}

bool TransferJob::Running() const
{
    return m_file.IsTransferring();
}

void TransferJob::StateEvent(qv::TTransferState state, const QString& name, int param1)
{
    m_report.Log(TransferStateReaction(state, name, param1, m_file.GetErrorMessage(param1)).log);
    switch (state) {
    case qv::tsSendModeStart:
    case qv::tsReceiveModeStart:
        m_rate.Begin(Now());
        break;
    case qv::tsFileSendDone:
    case qv::tsFileReceiveDone:
        m_report.EndProgress();
        if (const QString line = m_rate.FileEndText(Now()); !line.isEmpty())
            m_report.Log(line);
        break;
    case qv::tsFileSendRemoteSkipped:
        ++m_skipped;
        break;
    case qv::tsError:
        m_errorCode = param1;
        break;
    case qv::tsSendModeEnd:
    case qv::tsReceiveModeEnd: {
        m_report.EndProgress();
        const bool ended = param1 == 0 && m_errorCode == 0;
        if (!ended) {
            QString why = state == qv::tsSendModeEnd ? QStringLiteral("the files were not all sent")
                                                     : QStringLiteral("the files were not all received");
            if (!m_stopReason.isEmpty())
                why += QStringLiteral(": ") + m_stopReason;
            if (m_errorCode != 0)
                why += QStringLiteral(": ") + WithCode(m_file.GetErrorMessage(m_errorCode), m_errorCode);
            else if (m_stopReason.isEmpty())
                why += QStringLiteral(": the transfer was stopped");
            Finish({exitstatus::WorkFailed, why});
        } else if (m_skipped > 0) {
            Finish({exitstatus::WorkFailed, QStringLiteral("the far side skipped %1 of %2 files")
                                                .arg(m_skipped)
                                                .arg(m_file.Transfer().TotalFileCount())});
        } else {
            Finish({exitstatus::Success, QString()});
        }
        break;
    }
    default:
        break;
    }
}

void TransferJob::ProgressEvent(const QString& name, int fileIndex, int fileBytes, int totalBytes)
{
    const qv::TTransfer& transfer = m_file.Transfer();
    m_rate.Progress(Now(), fileIndex, fileBytes, totalBytes, transfer.TotalFileSize());
    Report::Figures figures;
    figures.fileName = name;
    figures.fileIndex = fileIndex;
    figures.fileCount = transfer.TotalFileCount();
    figures.fileBytes = fileBytes;
    figures.fileSize = transfer.FileSize();
    figures.rate = m_rate.LiveText();
    m_report.Progress(figures);
}

void TransferJob::Finish(const JobResult& result)
{
    if (m_done)
        return;
    if (m_span == Span::OneOperation) {
        m_done = true;
    } else {
        // The next operation starts with a clean slate.
        m_errorCode = 0;
        m_skipped = 0;
        m_stopReason.clear();
    }
    if (m_finished)
        m_finished(result);
}

} // namespace vh::cli
