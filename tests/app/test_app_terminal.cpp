// The terminal area on a connected call: the bytes each kind of key sends,
// local echo and Enter as the line and the operator decide, received text at
// the cursor, copying and pasting, the code page, the bigger view, and the
// traps around closing and a second copy of the program.
#include "AppTestSupport.h"

#include "app/TerminalArea.h"
#include "app/TerminalOptions.h"
#include "app/TerminalSession.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace vh {
namespace {

using test::Control;

class TerminalTest : public test::WindowFixture
{
protected:
    void SetUp() override
    {
        m_window = StartAndShow();
        ASSERT_TRUE(m_window->QvPhone1().IsActive());
    }
    void TearDown() override { m_window.reset(); }

    tapi::CallId Connect()
    {
        const tapi::CallId call = AnswerOnFirstRing(*m_window);
        m_call = call;
        Area()->setFocus();
        return call;
    }
    TerminalArea* Area() { return Control<TerminalArea>(m_window.get(), "MemoTerminal"); }
    // What the far side has received after the key or text went out.
    QByteArray Sent()
    {
        test::Pump(*m_clock, 60);
        return m_sim->ReadPeer(m_call);
    }
    QByteArray Key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(Area(), Qt::Key(key), modifiers);
        return Sent();
    }
    void Receive(const QByteArray& bytes)
    {
        m_sim->WritePeer(m_call, bytes);
        test::Pump(*m_clock, 200);
    }
    // The line reports what it knows of the far side, as a provider does.
    void LineReports(bool remoteEcho, const QByteArray& newline)
    {
        qv::TLineTraits traits;
        traits.RemoteEcho = remoteEcho;
        traits.Newline = newline;
        qv::QvPhone& phone = m_window->QvPhone1();
        ASSERT_TRUE(phone.OnLineTraits());
        phone.OnLineTraits()(&phone, traits, m_call);
    }

    std::unique_ptr<TFormTerminalEmulator> m_window;
    tapi::CallId m_call = 0;
};

TEST_F(TerminalTest, EachKindOfKeySendsItsBytes)
{
    Connect();
    EXPECT_EQ(Key(Qt::Key_A), "a");
    QTest::keyClick(Area(), 'A');
    EXPECT_EQ(Sent(), "A");
    EXPECT_EQ(Key(Qt::Key_Return), "\r\n");
    EXPECT_EQ(Key(Qt::Key_Tab), "\t");
    EXPECT_EQ(Key(Qt::Key_Backspace), "\b");
    EXPECT_EQ(Key(Qt::Key_Escape), "\x1b");
    EXPECT_EQ(Key(Qt::Key_Up), "\x1b[A");
    EXPECT_EQ(Key(Qt::Key_Left), "\x1b[D");
    EXPECT_EQ(Key(Qt::Key_Home), "\x1b[H");
    EXPECT_EQ(Key(Qt::Key_End), "\x1b[F");
    EXPECT_EQ(Key(Qt::Key_PageUp), "\x1b[5~");
    EXPECT_EQ(Key(Qt::Key_Insert), "\x1b[2~");
    EXPECT_EQ(Key(Qt::Key_Delete), "\x1b[3~");
    EXPECT_EQ(Key(Qt::Key_F1), "\x1bOP");
    EXPECT_EQ(Key(Qt::Key_F10), "\x1b[21~");
    EXPECT_EQ(Key(Qt::Key_C, Qt::ControlModifier), "\x03");
    EXPECT_EQ(Key(Qt::Key_D, Qt::ControlModifier), "\x04");
    // A full-screen program switches the cursor keys to application mode.
    Receive("\x1b[?1h");
    EXPECT_EQ(Key(Qt::Key_Up), "\x1bOA");
    EXPECT_EQ(Key(Qt::Key_Right), "\x1bOC");
    // Persian typed on its keyboard layout, and text from an input method.
    QKeyEvent shin(QEvent::KeyPress, 0, Qt::NoModifier, QStringLiteral(u"ش"));
    QApplication::sendEvent(Area(), &shin);
    EXPECT_EQ(Sent(), QByteArray("\xd8\xb4"));
    QInputMethodEvent composed;
    composed.setCommitString(QStringLiteral(u"سلام"));
    QApplication::sendEvent(Area(), &composed);
    EXPECT_EQ(Sent(), QStringLiteral(u"سلام").toUtf8());
    // The terminal answers the far side's cursor position query itself.
    Receive("\x1b[2;5H\x1b[6n");
    EXPECT_EQ(Sent(), "\x1b[2;5R");
}

TEST_F(TerminalTest, TypedTextIsShownOnceWhicheverSideEchoes)
{
    Connect();
    Key(Qt::Key_X);
    EXPECT_EQ(Area()->Text(), "x");
    // A telnet server that echoes and wants CR alone.
    LineReports(true, "\r");
    EXPECT_EQ(Key(Qt::Key_Y), "y");
    EXPECT_EQ(Key(Qt::Key_Return), "\r");
    EXPECT_EQ(Area()->Text(), "x");
    Receive("y\r\n");
    EXPECT_EQ(Area()->Text(), "xy");
    // The operator's Enter choice wins over the line's, and is kept.
    auto* enter = Control<QComboBox>(m_window.get(), "ComboBoxEnter");
    enter->setCurrentIndex(1);
    emit enter->activated(1);
    EXPECT_EQ(Key(Qt::Key_Return), "\r\n");
    EXPECT_EQ(m_folder.Get(settings::EnterKey), "CRLF\r\n");

    // A far side that does not echo, and the operator switched local echo off.
    LineReports(false, "\r\n");
    Control<QCheckBox>(m_window.get(), "CheckBoxLocalEcho")->click();
    const QString before = Area()->Text();
    EXPECT_EQ(Key(Qt::Key_Z), "z");
    EXPECT_EQ(Area()->Text(), before);
    EXPECT_EQ(m_folder.Get(settings::LocalEcho), "off\r\n");

    m_window.reset();
    m_window = StartAndShow();
    EXPECT_FALSE(Control<QCheckBox>(m_window.get(), "CheckBoxLocalEcho")->isChecked());
    EXPECT_EQ(Control<QComboBox>(m_window.get(), "ComboBoxEnter")->currentIndex(), 1);
    EXPECT_FALSE(m_window->Terminal().ShowsTypedText());
}

TEST_F(TerminalTest, ReceivedTextGoesToTheCursorAndTheMouseSelectsAndCopies)
{
    Connect();
    Receive("hello world\r\n");
    // A click somewhere else moves nothing: the next text follows the cursor.
    QTest::mouseClick(Area()->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(400, 100));
    Receive("next");
    EXPECT_EQ(Area()->Text(), "hello world\nnext");

    const QSize cell = Area()->CellSize();
    const int y = cell.height() / 2;
    QTest::mousePress(Area()->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(2, y));
    QTest::mouseMove(Area()->viewport(), QPoint(2 + 5 * cell.width(), y));
    QTest::mouseRelease(Area()->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(2 + 5 * cell.width(), y));
    EXPECT_EQ(Area()->SelectedText(), "hello");
    QApplication::clipboard()->clear();
    EXPECT_TRUE(Key(Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier).isEmpty());
    EXPECT_EQ(QApplication::clipboard()->text(), "hello");
}

TEST_F(TerminalTest, PasteGoesOutWholeInPacedPiecesAndBracketedWhenAsked)
{
    Connect();
    QApplication::clipboard()->setText(QStringLiteral("ls -l\nexit"));
    EXPECT_EQ(Key(Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier), "ls -l\rexit");
    Receive("\x1b[?2004h");
    EXPECT_EQ(Key(Qt::Key_Insert, Qt::ShiftModifier), "\x1b[200~ls -l\rexit\x1b[201~");
    Receive("\x1b[?2004l");
    // A middle click pastes the selection, or the clipboard where the
    // platform keeps no selection.
    QClipboard* clipboard = QApplication::clipboard();
    clipboard->setText(QStringLiteral("pwd\n"),
                       clipboard->supportsSelection() ? QClipboard::Selection : QClipboard::Clipboard);
    QTest::mouseClick(Area()->viewport(), Qt::MiddleButton, Qt::NoModifier, QPoint(40, 40));
    EXPECT_EQ(Sent(), "pwd\r");

    QByteArray big;
    for (int i = 0; big.size() < 200000; ++i)
        big += "line " + QByteArray::number(i) + "\n";
    QApplication::clipboard()->setText(QString::fromLatin1(big));
    QTest::keyClick(Area(), Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    // The key returned before the paste was out: it goes a piece per tick.
    QByteArray arrived = m_sim->ReadPeer(m_call);
    EXPECT_LT(arrived.size(), big.size());
    ASSERT_TRUE(test::PumpUntil(*m_clock, [&] {
        arrived += m_sim->ReadPeer(m_call);
        return arrived.size() >= big.size();
    }));
    QByteArray expected = big;
    expected.replace('\n', '\r');
    EXPECT_EQ(arrived, expected);
}

TEST_F(TerminalTest, CodePageOfTheFarSideForWhatIsShownAndTyped)
{
    Connect();
    auto* pages = Control<QComboBox>(m_window.get(), "ComboBoxCodePage");
    ASSERT_EQ(pages->itemText(1), "CP437");
    pages->setCurrentIndex(1);
    emit pages->activated(1);
    Receive("\xc9\xcd\xbb \x82t\x82");
    EXPECT_EQ(Area()->Text(), QStringLiteral(u"╔═╗ été"));
    QKeyEvent e(QEvent::KeyPress, 0, Qt::NoModifier, QStringLiteral(u"é"));
    QApplication::sendEvent(Area(), &e);
    EXPECT_EQ(Sent(), "\x82");
    EXPECT_EQ(m_folder.Get(settings::CodePage), "CP437\r\n");
}

TEST_F(TerminalTest, BigViewFollowsItsSizeAndGivesTheAreaBack)
{
    Connect();
    Receive("before\r\n");
    const int designedColumns = Area()->Screen().Columns();
    EXPECT_GE(designedColumns, 80);
    Control<QPushButton>(m_window.get(), "ButtonTerminalWindow")->click();
    TerminalSession& session = m_window->Terminal();
    ASSERT_TRUE(session.InBigView());
    QWidget* view = session.BigView();
    EXPECT_EQ(Area()->window(), view);
    EXPECT_TRUE(Control<QLabel>(m_window.get(), "LabelTerminalElsewhere")->isVisible());
    const QSize cell = Area()->CellSize();
    view->resize(150 * cell.width() + 40, 50 * cell.height() + 10);
    test::Pump(*m_clock);
    EXPECT_GE(Area()->Screen().Columns(), 145);
    EXPECT_GE(Area()->Screen().Rows(), 48);
    // Same session: text and typing go on in the big view.
    Receive("inside\r\n");
    EXPECT_EQ(Key(Qt::Key_Q), "q");
    EXPECT_EQ(m_window->size(), QSize(787, 603));

    view->close();
    test::Pump(*m_clock);
    EXPECT_FALSE(session.InBigView());
    EXPECT_EQ(Area()->parentWidget(), m_window.get());
    EXPECT_EQ(Area()->geometry(), QRect(9, 258, 769, 165));
    EXPECT_EQ(Area()->Screen().Columns(), designedColumns);
    EXPECT_TRUE(Area()->Text().contains("before\ninside"));
    EXPECT_FALSE(Control<QLabel>(m_window.get(), "LabelTerminalElsewhere")->isVisible());
}

TEST_F(TerminalTest, ClosingDuringACallAsksFirst)
{
    Connect();
    m_boxes.Answer(false);
    EXPECT_FALSE(m_window->close());
    EXPECT_EQ(m_boxes.Questions(), QStringList{QStringLiteral(u"ارتباط برقرار است. آيا برنامه بسته شود؟")});
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_FALSE(m_folder.Has(settings::RingCount));
    m_boxes.Answer(true);
    EXPECT_TRUE(m_window->close());
    EXPECT_TRUE(m_folder.Has(settings::RingCount));
}

TEST_F(TerminalTest, SecondCopyOnTheSameFolderLeavesTheLineToTheFirst)
{
    auto second = Start();
    second->show();
    test::Pump(*m_clock);
    ASSERT_EQ(m_boxes.Texts().size(), 1);
    EXPECT_EQ(m_boxes.Texts()[0], QStringLiteral("Error while activating the telephone device.\r\n\r\n"
                                                 "Telephone device name: Simulated line 0\r\n"
                                                 "Error message: Line device is exclusively allocated by "
                                                 "another application."));
    EXPECT_FALSE(second->QvPhone1().IsActive());
    EXPECT_FALSE(second->QvFile1().IsListening());
    EXPECT_EQ(Control<QLabel>(second.get(), "LabelListenMode")->text(), "Listen Mode OFF");
    // Nothing asks before closing a copy that has nothing running.
    EXPECT_TRUE(second->close());
    EXPECT_TRUE(m_boxes.Questions().isEmpty());
    second.reset();

    // Once the first copy has ended, the next one has the line.
    m_window.reset();
    m_boxes.Clear();
    m_window = StartAndShow();
    EXPECT_TRUE(m_boxes.Texts().isEmpty());
    EXPECT_TRUE(m_window->QvPhone1().IsActive());
    EXPECT_TRUE(m_window->QvFile1().IsListening());
}

} // namespace
} // namespace vh
