// The transfer panel: sending chosen files, listen mode, stopping, the
// receive options, the progress displays, a transfer's bytes kept away from
// the "NO CARRIER" check, and keys typed during a transfer kept off its line.
#include "AppTestSupport.h"

#include "app/TerminalArea.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>

namespace vh {
namespace {

using test::Control;

class TransferTest : public test::WindowFixture
{
protected:
    void SetUp() override { m_window = StartAndShow(); }
    void TearDown() override
    {
        m_peer.reset();
        m_window.reset();
    }

    // Answers an incoming call and puts a transfer peer on its far end.
    tapi::CallId Connect()
    {
        const tapi::CallId call = AnswerOnFirstRing(*m_window);
        m_peer = std::make_unique<test::PeerSide>(m_sim->PeerFd(call));
        EXPECT_EQ(m_peer->Port().Open(0), 0);
        EXPECT_TRUE(test::PumpUntil(*m_clock, [&] { return m_peer->Port().IsOpened(); }));
        return call;
    }
    QString MakeFile(QTemporaryDir& dir, const QString& name, const QByteArray& content)
    {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return file.fileName();
    }
    void Click(const char* name)
    {
        QTest::mouseClick(Control<QPushButton>(m_window.get(), name), Qt::LeftButton);
    }
    QString Text(const char* name) { return Control<QLabel>(m_window.get(), name)->text(); }
    QStringList Log() { return LogLines(m_window.get()); }

    std::unique_ptr<TFormTerminalEmulator> m_window;
    std::unique_ptr<test::PeerSide> m_peer;
};

TEST_F(TransferTest, CancelledFileDialogSendsAndLogsNothing)
{
    const tapi::CallId call = Connect();
    const QStringList before = Log();
    m_chosenFiles.reset();
    Click("ButtonSendFile");
    test::Pump(*m_clock, 200);
    EXPECT_EQ(m_fileDialogs, 1);
    EXPECT_EQ(Log(), before);
    EXPECT_TRUE(m_sim->ReadPeer(call).isEmpty());
}

TEST_F(TransferTest, ThreeFilesGoOutWithProgressAndArriveWhole)
{
    Connect();
    QTemporaryDir source;
    QTemporaryDir target;
    m_peer->File().Transfer().SetReceiveFolder(target.path());
    ASSERT_EQ(m_peer->File().ListenMode(true), 0);
    QByteArray big(70000, 0);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char((i * 7 + i / 251) & 0xFF);
    m_chosenFiles = QStringList{MakeFile(source, "one.txt", "first file\r\n"),
                                MakeFile(source, QStringLiteral(u"دو.bin"), big),
                                MakeFile(source, "three*.txt", "third")};
    Click("ButtonSendFile");
    // The displays follow each file: file 2 of 3 shows "2/3" while it goes.
    QString secondFile;
    ASSERT_TRUE(test::PumpUntil(
        *m_clock,
        [&] {
            if (Text("LabelFileIndex") == "2/3")
                secondFile = Text("LabelTransmitFileName") + " " + Text("LabelFileProgress");
            return Log().contains("TRANSFER>Send operation complete successfully");
        },
        60000))
        << Log().join('\n').toStdString();
    EXPECT_TRUE(secondFile.startsWith((*m_chosenFiles)[1] + " ")) << secondFile.toStdString();
    EXPECT_TRUE(secondFile.endsWith(QStringLiteral("/%1").arg(big.size()))) << secondFile.toStdString();
    for (const QString& name : *m_chosenFiles) {
        QFile sent(name);
        QFile arrived(QDir(target.path()).filePath(QFileInfo(name).fileName()));
        ASSERT_TRUE(sent.open(QIODevice::ReadOnly) && arrived.open(QIODevice::ReadOnly))
            << name.toStdString();
        EXPECT_EQ(arrived.readAll(), sent.readAll()) << name.toStdString();
    }
    const QStringList log = Log();
    const int start = log.indexOf("TRANSFER>Send Mode");
    ASSERT_GE(start, 0);
    EXPECT_EQ(log[start + 1], "TRANSFER>Sending File: " + (*m_chosenFiles)[0]);
    EXPECT_TRUE(log.contains("TRANSFER>File sent successfully: " + (*m_chosenFiles)[2]));
    // Each file's end also says what it moved, in how long, how fast.
    const int bigDone = log.indexOf("TRANSFER>File sent successfully: " + (*m_chosenFiles)[1]);
    ASSERT_GE(bigDone, 0);
    EXPECT_TRUE(log[bigDone + 1].startsWith(QStringLiteral("TRANSFER>%1 bytes in ").arg(big.size())))
        << log[bigDone + 1].toStdString();
    EXPECT_EQ(log.last(), "TRANSFER>Listening Mode");
    EXPECT_EQ(Text("LabelFileIndex"), "3/3");
    EXPECT_EQ(Text("LabelTransmitFileName"), (*m_chosenFiles)[2]);
    EXPECT_EQ(Text("LabelTotalProgress"), QStringLiteral("%1/%1").arg(12 + big.size() + 5));
    EXPECT_EQ(Control<QProgressBar>(m_window.get(), "ProgressBarTotal")->value(), 100);
    EXPECT_TRUE(m_window->QvFile1().IsListening());
}

TEST_F(TransferTest, ClosingDuringATransferAsksFirstAndShowsTheRateMeanwhile)
{
    Connect();
    QTemporaryDir source;
    QTemporaryDir target;
    m_peer->File().Transfer().SetReceiveFolder(target.path());
    ASSERT_EQ(m_peer->File().ListenMode(true), 0);
    m_chosenFiles = QStringList{MakeFile(source, "big.bin", QByteArray(4 * 1024 * 1024, 'v'))};
    Click("ButtonSendFile");
    ASSERT_TRUE(test::PumpUntil(
        *m_clock, [&] { return !Text("LabelTransferRate").isEmpty(); }, 60000));
    EXPECT_TRUE(Text("LabelTransferRate").contains(" left")) << Text("LabelTransferRate").toStdString();

    m_boxes.Answer(false);
    EXPECT_FALSE(m_window->close());
    ASSERT_EQ(m_boxes.Questions().size(), 1);
    EXPECT_EQ(m_boxes.Questions()[0], QStringLiteral(u"انتقال فايل در حال انجام است. آيا برنامه بسته شود؟"));
    EXPECT_EQ(m_window->QvFile1().OperationMode(), qv::omSending);
    EXPECT_FALSE(m_folder.Has(settings::RingCount));
    m_boxes.Answer(true);
    EXPECT_TRUE(m_window->close());
    EXPECT_TRUE(m_folder.Has(settings::RingCount));
}

TEST_F(TransferTest, KeysTypedDuringATransferStayOffTheLineAndThoseJustAfterWaitForTheFarSide)
{
    Connect();
    QTemporaryDir source;
    QTemporaryDir target;
    m_peer->File().Transfer().SetReceiveFolder(target.path());
    QByteArray farText; // what reaches the far side's terminal
    m_peer->Port().SetOnReceiveData(
        [&](qv::TComponent*, char* data, int size, qv::WindowHandle&) { farText.append(data, size); });
    ASSERT_EQ(m_peer->File().ListenMode(true), 0);
    QByteArray content(400000, 0);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char((i * 13 + i / 509) & 0xFF);
    m_chosenFiles = QStringList{MakeFile(source, "keys.bin", content)};
    auto* area = m_window->findChild<TerminalArea*>(QStringLiteral("MemoTerminal"));
    Click("ButtonSendFile");
    int typed = 0;
    ASSERT_TRUE(test::PumpUntil(
        *m_clock,
        [&] {
            if (m_window->QvFile1().OperationMode() == qv::omSending && typed < 300) {
                QTest::keyClicks(area, "zz");
                ++typed;
            }
            return Log().contains("TRANSFER>Send operation complete successfully");
        },
        60000))
        << Log().join('\n').toStdString();
    EXPECT_GT(typed, 10);
    EXPECT_FALSE(m_peer->Saw(qv::tsFileReceiveBadPacket));
    EXPECT_EQ(Log().count("TRANSFER>Typed keys are not sent while files are moving"), 1);
    // Typed as it ends: the far side's sender may still be reading, so the
    // keys wait a moment, then go.
    QTest::keyClicks(area, "after");
    test::Pump(*m_clock, 300);
    EXPECT_FALSE(farText.contains("after"));
    ASSERT_TRUE(test::PumpUntil(
        *m_clock, [&] { return farText.contains("after"); }, 5000));
    EXPECT_FALSE(farText.contains("zz")) << farText.toStdString();
    QFile arrived(QDir(target.path()).filePath("keys.bin"));
    ASSERT_TRUE(arrived.open(QIODevice::ReadOnly));
    EXPECT_EQ(arrived.readAll(), content);
}

TEST_F(TransferTest, ReceivedFileWithTheWordsNoCarrierDoesNotHangUp)
{
    const tapi::CallId call = Connect();
    QTemporaryDir source;
    QTemporaryDir target;
    m_window->QvFile1().Transfer().SetReceiveFolder(target.path());
    QByteArray content = "line one\r\nNO CARRIER\r\nNO CARR";
    content += QByteArray(3000, 'x') + "IER NO CARRIER";
    const QString name = MakeFile(source, "words.txt", content);
    ASSERT_EQ(m_peer->File().SendFiles(name + "\r\n"), 0);
    ASSERT_TRUE(test::PumpUntil(
        *m_clock, [&] { return m_peer->Saw(qv::tsSendModeEnd); }, 60000));
    EXPECT_TRUE(m_peer->Saw(qv::tsSendModeEnd, 0));
    EXPECT_TRUE(Log().contains("TRANSFER>Receive operation complete successfully"));
    QFile arrived(QDir(target.path()).filePath("words.txt"));
    ASSERT_TRUE(arrived.open(QIODevice::ReadOnly));
    EXPECT_EQ(arrived.readAll(), content);

    // The call goes on, and typed text still reaches the terminal.
    test::Pump(*m_clock, 1000);
    EXPECT_FALSE(Log().contains(">No carrier detected."));
    EXPECT_EQ(m_sim->CountOf(QStringLiteral("lineDrop")), 0);
    EXPECT_TRUE(m_window->QvSerialPort1().IsOpened());
    m_peer.reset();
    m_sim->WritePeer(call, "after the file\r\n");
    ASSERT_TRUE(test::PumpUntil(*m_clock, [&] {
        return Control<TerminalArea>(m_window.get(), "MemoTerminal")->Text().contains("after the file");
    }));
}

TEST_F(TransferTest, PortClosingOnItsOwnStopsTheRunningTransfer)
{
    const tapi::CallId call = Connect();
    m_peer.reset(); // nobody answers on the far side
    QTemporaryDir source;
    m_chosenFiles = QStringList{MakeFile(source, "a.txt", "abc")};
    Click("ButtonSendFile");
    test::Pump(*m_clock, 200);
    ASSERT_TRUE(Log().contains("TRANSFER>Send Mode"));
    // The far end of the channel goes away without the call changing state.
    ASSERT_EQ(::shutdown(m_sim->PeerFd(call), SHUT_RDWR), 0);
    ASSERT_TRUE(test::PumpUntil(*m_clock, [&] { return !m_window->QvSerialPort1().IsOpened(); }));
    test::Pump(*m_clock, 100);
    EXPECT_TRUE(Log().contains("TRANSFER>Send operation did NOT complete successfully"))
        << Log().join('\n').toStdString();
    EXPECT_NE(m_window->QvFile1().OperationMode(), qv::omSending);
}

TEST_F(TransferTest, NamesWithASeparatorAreRefusedWithALogLine)
{
    Connect();
    const QStringList before = Log();
    m_chosenFiles = QStringList{"/tmp/bad|name.txt"};
    Click("ButtonSendFile");
    test::Pump(*m_clock);
    const QStringList log = Log();
    ASSERT_EQ(log.size(), before.size() + 1);
    EXPECT_TRUE(log.last().startsWith("TRANSFER>Error: ")) << log.last().toStdString();
    EXPECT_TRUE(log.last().contains("bad|name.txt"));
}

TEST_F(TransferTest, SendFailureIsLoggedWithTheTransferPrefix)
{
    // Not connected: the port is closed.
    QTemporaryDir source;
    m_chosenFiles = QStringList{MakeFile(source, "a.txt", "abc")};
    Control<QPushButton>(m_window.get(), "ButtonSendFile")->setEnabled(true);
    Click("ButtonSendFile");
    EXPECT_EQ(Log().last(), "TRANSFER>Error: " + m_window->QvFile1().GetErrorMessage(508));
}

TEST_F(TransferTest, ListenModeButtons)
{
    Click("ButtonExitListenMode");
    EXPECT_FALSE(m_window->QvFile1().IsListening());
    EXPECT_EQ(Text("LabelListenMode"), "Listen Mode OFF");
    Click("ButtonStartListenMode");
    EXPECT_TRUE(m_window->QvFile1().IsListening());
    EXPECT_EQ(Text("LabelListenMode"), "Listen Mode ON");

    // Without its port the component refuses both; the label still reads OFF
    // after the exit button, and the start button shows the refusal.
    m_window->QvFile1().Transfer().SetLinkedTo(nullptr);
    Click("ButtonExitListenMode");
    EXPECT_EQ(Text("LabelListenMode"), "Listen Mode OFF");
    m_window->QvFile1().ListenMode(false);
    Click("ButtonStartListenMode");
    EXPECT_EQ(m_boxes.Texts(), QStringList{"Error: " + m_window->QvSerialPort1().GetErrorMessage(603)});
}

TEST_F(TransferTest, ReceiveOptionsApplyOnOkAndChangeNothingOnCancel)
{
    qv::TTransfer& transfer = m_window->QvFile1().Transfer();
    transfer.SetReceiveFolder(QStringLiteral("/srv/in/"));
    transfer.SetReceiveExistingFiles(qv::efOverwrite);
    QTemporaryDir chosen;
    m_chosenFolder = chosen.path();
    m_onDialog = [](QDialog& dialog) {
        dialog.show();
        EXPECT_EQ(dialog.findChild<QLineEdit*>("EditReceiveDirectory")->text(), "/srv/in/");
        EXPECT_EQ(dialog.findChild<QComboBox*>("ComboBoxFileExists")->currentIndex(), 1);
        QTest::mouseClick(dialog.findChild<QPushButton*>("Button1"), Qt::LeftButton);
        dialog.findChild<QComboBox*>("ComboBoxFileExists")->setCurrentIndex(3);
        QTest::mouseClick(dialog.findChild<QPushButton*>("ButtonCancel"), Qt::LeftButton);
        return dialog.result();
    };
    Click("BitBtn3");
    EXPECT_EQ(transfer.ReceiveFolder(), "/srv/in/");
    EXPECT_EQ(transfer.ReceiveExistingFiles(), qv::efOverwrite);
    EXPECT_FALSE(m_folder.Has(settings::ReceiveFolder));

    m_onDialog = [](QDialog& dialog) {
        dialog.show();
        QTest::mouseClick(dialog.findChild<QPushButton*>("Button1"), Qt::LeftButton);
        dialog.findChild<QComboBox*>("ComboBoxFileExists")->setCurrentIndex(3);
        QTest::mouseClick(dialog.findChild<QPushButton*>("ButtonOK"), Qt::LeftButton);
        return dialog.result();
    };
    Click("BitBtn3");
    EXPECT_EQ(transfer.ReceiveFolder(), chosen.path() + "/");
    EXPECT_EQ(transfer.ReceiveExistingFiles(), qv::efSkip);
    EXPECT_EQ(m_folder.Get(settings::ReceiveFolder), (chosen.path() + "/\r\n").toUtf8());
    EXPECT_EQ(m_dialogsRun, QStringList({"FormReceiveOptions", "FormReceiveOptions"}));
}

TEST_F(TransferTest, PeerSentSettingsFilesLandInTheDownloadFolder)
{
    Connect();
    QTemporaryDir source;
    const QString list =
        MakeFile(source, "saved.ctx", "/etc/\r\n") + "\r\n" + MakeFile(source, "About.txt", "");
    ASSERT_EQ(m_peer->File().SendFiles(list), 0);
    ASSERT_TRUE(test::PumpUntil(
        *m_clock, [&] { return m_peer->Saw(qv::tsSendModeEnd); }, 60000));
    EXPECT_TRUE(m_peer->Saw(qv::tsSendModeEnd, 0));
    // The download folder was made for them; the settings stay the
    // operator's.
    EXPECT_EQ(test::ReadAll(DefaultReceiveFolder() + "saved.ctx"), QByteArray("/etc/\r\n"));
    EXPECT_TRUE(QFileInfo::exists(DefaultReceiveFolder() + "About.txt"));
    EXPECT_FALSE(m_folder.Has(settings::ReceiveFolder));
    EXPECT_FALSE(m_folder.Has(settings::ListenModeOff));
}

} // namespace
} // namespace vh
