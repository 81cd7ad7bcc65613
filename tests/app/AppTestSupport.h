// Shared pieces of the window tests: captured message boxes, a settings
// folder of the test's own, and finding controls by their form names.
#pragma once

#include "app/FormTerminalEmulator.h"
#include "app/MessageBox.h"
#include "tests/app/TransferPeer.h"

#include "frontend/Settings.h"

#include "common/Clock.h"
#include "common/MessageWindow.h"
#include "serial/QvSerialPort.h"
#include "telephony/service/Service.h"
#include "telephony/service/providers/sim/SimExchange.h"
#include "transfer/QvFile.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace vh::test {

// Captures every message box and question for the lifetime of the object
// instead of showing it; questions get the answer set with Answer().
class MessageBoxCapture
{
public:
    MessageBoxCapture()
    {
        SetMessageBoxHandler([this](QWidget*, const QString& text) { m_texts << text; });
        SetQuestionHandler([this](QWidget*, const QString& text) {
            m_questions << text;
            return m_answer;
        });
    }
    ~MessageBoxCapture()
    {
        SetMessageBoxHandler(nullptr);
        SetQuestionHandler(nullptr);
    }
    MessageBoxCapture(const MessageBoxCapture&) = delete;
    MessageBoxCapture& operator=(const MessageBoxCapture&) = delete;

    const QStringList& Texts() const { return m_texts; }
    const QStringList& Questions() const { return m_questions; }
    void Answer(bool yes) { m_answer = yes; }
    void Clear() { m_texts.clear(); }

private:
    QStringList m_texts;
    QStringList m_questions;
    bool m_answer = true;
};

// A settings folder that lives as long as the test.
class SettingsFolder
{
public:
    QString Path() const { return m_dir.path() + QLatin1Char('/'); }
    SettingsStore Store() const { return SettingsStore(Path()); }
    void Put(const QString& name, const QByteArray& content) const
    {
        QFile file(Path() + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QByteArray Get(const QString& name) const
    {
        QFile file(Path() + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool Has(const QString& name) const { return QFile::exists(Path() + name); }

private:
    QTemporaryDir m_dir;
};

// The simulated exchange with one line, installed in the telephony service
// for the lifetime of the object.
class SimService
{
public:
    explicit SimService(int lines = 1)
    {
        auto owned = std::make_unique<tapi::sim::SimExchange>();
        m_sim = owned.get();
        for (int i = 0; i < lines; ++i) {
            tapi::sim::SimLineConfig config;
            config.name = QStringLiteral("Simulated line %1").arg(i);
            m_sim->AddLine(config);
        }
        EXPECT_TRUE(tapi::Service::Install(std::move(owned)));
    }
    ~SimService() { tapi::Service::Uninstall(); }
    SimService(const SimService&) = delete;
    SimService& operator=(const SimService&) = delete;

    tapi::sim::SimExchange& operator*() { return *m_sim; }
    tapi::sim::SimExchange* operator->() { return m_sim; }

private:
    tapi::sim::SimExchange* m_sim;
};

// Lets queued telephony messages, posted messages and timers run: `ms` of
// virtual time in 10 ms steps, with the event loop turned at each step.
inline void Pump(qv::VirtualClock& clock, int ms = 0)
{
    for (int elapsed = 0;; elapsed += 10) {
        for (int i = 0; i < 3; ++i) {
            tapi::Service::DeliverPending();
            qv::ProcessMessages();
        }
        if (elapsed >= ms)
            break;
        clock.Advance(10);
    }
}

// Runs virtual time until `done` holds, at most `limitMs`.
inline bool PumpUntil(qv::VirtualClock& clock, const std::function<bool()>& done, int limitMs = 20000)
{
    for (int elapsed = 0; elapsed <= limitMs; elapsed += 10) {
        Pump(clock);
        if (done())
            return true;
        clock.Advance(10);
    }
    return done();
}

// The whole content of a file; empty when it cannot be read.
inline QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The child named `name`; fails the test when there is none.
template <class W> W* Control(QWidget* form, const char* name)
{
    W* widget = form->findChild<W*>(QLatin1String(name));
    EXPECT_NE(widget, nullptr) << "no control " << name;
    return widget;
}

// A main window on the simulated exchange, in virtual time, with its
// message boxes captured and its dialogs run by the test.
class WindowFixture : public ::testing::Test
{
protected:
    // Creates the window (its creation steps run) without showing it.
    std::unique_ptr<TFormTerminalEmulator> Start(const QString& folder = QString())
    {
        TerminalWindowServices services;
        services.settingsFolder = folder.isEmpty() ? m_folder.Path() : folder;
        services.defaultReceiveFolder = DefaultReceiveFolder();
        services.chooseFiles = [this](QWidget*) {
            ++m_fileDialogs;
            return m_chosenFiles;
        };
        services.chooseFolder = [this](QWidget*, const QString&) { return m_chosenFolder; };
        services.runDialog = [this](QDialog& dialog) {
            m_dialogsRun << dialog.objectName();
            if (m_onDialog)
                return m_onDialog(dialog);
            return int(QDialog::Rejected);
        };
        auto window = std::make_unique<TFormTerminalEmulator>(services);
        Pump(*m_clock);
        return window;
    }
    std::unique_ptr<TFormTerminalEmulator> StartAndShow()
    {
        auto window = Start();
        window->show();
        Pump(*m_clock);
        return window;
    }

    // An incoming call answered on its first ring, with the window's port
    // open.
    tapi::CallId AnswerOnFirstRing(TFormTerminalEmulator& window)
    {
        Control<QLineEdit>(&window, "EditRingNumber")->setText(QStringLiteral("1"));
        const tapi::CallId call = m_sim->OfferCall(0);
        Pump(*m_clock);
        m_sim->Ring(0);
        EXPECT_TRUE(PumpUntil(*m_clock, [&] { return window.QvSerialPort1().IsOpened(); }));
        return call;
    }

    // The download folder's "VH Terminal/" of this test; not made yet.
    QString DefaultReceiveFolder() const { return m_downloads.path() + QStringLiteral("/VH Terminal/"); }

    static QStringList LogLines(QWidget* window)
    {
        return Control<QPlainTextEdit>(window, "MemoLog")->toPlainText().split(QLatin1Char('\n'));
    }
    static QString StatusText(QWidget* window)
    {
        return Control<QPlainTextEdit>(window, "Memo2")->toPlainText();
    }

    qv::ScopedVirtualClock m_clock;
    MessageBoxCapture m_boxes;
    SettingsFolder m_folder;
    QTemporaryDir m_downloads;
    SimService m_sim;
    std::optional<QStringList> m_chosenFiles;
    int m_fileDialogs = 0;
    std::optional<QString> m_chosenFolder;
    std::function<int(QDialog&)> m_onDialog;
    QStringList m_dialogsRun;
};

} // namespace vh::test
