// What the end-to-end tests share: waiting on real sockets and child
// processes, files of known content, the log read in order, and the main
// window driven in-process on an internet line of the test's own.
#pragma once

#include "app/FormTerminalEmulator.h"
#include "app/MessageBox.h"

#include "telephony/QvPhone.h"
#include "telephony/service/Service.h"
#include "telephony/service/providers/tcp/TcpProvider.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace vh::e2e {

// Real time here: sockets and child processes do not follow a virtual clock.
inline bool WaitFor(const std::function<bool()>& done, int limitMs = 30000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        tapi::Service::DeliverPending();
    }
    return true;
}

inline QByteArray Pattern(int size, int seed)
{
    QByteArray bytes(size, 0);
    quint32 x = quint32(seed) * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

inline QString Put(const QString& folder, const QString& name, const QByteArray& content)
{
    QFile file(QDir(folder).filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << name.toStdString();
    file.write(content);
    return file.fileName();
}

inline QByteArray Get(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// `wanted` appears in `lines` in this order (other lines may come between).
inline ::testing::AssertionResult InOrder(const QStringList& lines, const QStringList& wanted)
{
    qsizetype at = 0;
    for (const QString& line : wanted) {
        while (at < lines.size() && lines[at] != line)
            ++at;
        if (at == lines.size())
            return ::testing::AssertionFailure()
                   << "missing or out of order: " << line.toStdString() << "\nlog:\n"
                   << lines.join('\n').toStdString();
        ++at;
    }
    return ::testing::AssertionSuccess();
}

class EndToEnd : public ::testing::Test
{
protected:
    // Line 0 is the window's and line 1 the far side's, each listening on a
    // port the system picks.
    void InstallLines(qv::tcp::TcpMode mode)
    {
        qv::tcp::TcpLineConfig mine;
        mine.listenPort = 0;
        mine.mode = mode;
        qv::tcp::TcpLineConfig theirs;
        theirs.name = QStringLiteral("Far side");
        theirs.listenPort = 0;
        theirs.mode = mode;
        auto provider = std::make_unique<qv::tcp::TcpProvider>(
            std::vector<qv::tcp::TcpLineConfig>{mine, theirs}, QMap<QString, QString>{});
        m_provider = provider.get();
        ASSERT_TRUE(tapi::Service::Install(std::move(provider)));
    }

    void StartWindow()
    {
        SetMessageBoxHandler([this](QWidget*, const QString& text) { m_boxes << text; });
        TerminalWindowServices services;
        services.settingsFolder = m_settings.path();
        services.defaultReceiveFolder = m_downloads.path();
        services.chooseFiles = [this](QWidget*) { return std::optional<QStringList>(m_toSend); };
        services.runDialog = [](QDialog&) { return int(QDialog::Rejected); };
        m_window = std::make_unique<TFormTerminalEmulator>(services);
        m_window->show();
        ASSERT_TRUE(WaitFor([&] { return m_window->QvPhone1().IsActive(); }, 5000));
        Field("EditRingNumber")->setText(QStringLiteral("1"));
        m_port = m_provider->ListeningPort(0);
        ASSERT_NE(m_port, 0);
    }

    void TearDown() override
    {
        m_window.reset();
        tapi::Service::Uninstall();
        SetMessageBoxHandler(nullptr);
    }

    QLineEdit* Field(const char* name) { return m_window->findChild<QLineEdit*>(QLatin1String(name)); }
    QString Label(const char* name) { return m_window->findChild<QLabel*>(QLatin1String(name))->text(); }
    QPlainTextEdit* Memo(const char* name)
    {
        return m_window->findChild<QPlainTextEdit*>(QLatin1String(name));
    }
    QStringList Log() { return Memo("MemoLog")->toPlainText().split('\n'); }
    QString ReceivedInWindow(const QString& name) { return QDir(m_downloads.path()).filePath(name); }
    void ClickSend()
    {
        QTest::mouseClick(m_window->findChild<QPushButton*>("ButtonSendFile"), Qt::LeftButton);
    }
    int Count(const QString& line) { return int(Log().count(line)); }

    QTemporaryDir m_settings;
    QTemporaryDir m_downloads;
    qv::tcp::TcpProvider* m_provider = nullptr;
    std::uint16_t m_port = 0;
    std::unique_ptr<TFormTerminalEmulator> m_window;
    QStringList m_toSend;
    QStringList m_boxes;
};

} // namespace vh::e2e
