// The main window's terminal: the terminal area in its place on the window,
// its controls in the settings panel, the bigger view in a window of its
// own, and the wiring between the area, the port and the phone.
//
// Typed text goes to the port (paced, so that a paste never blocks the
// window), is shown locally unless the far side echoes or the operator
// switched that off, and Enter sends what the operator or the line chose.
// While a file transfer runs, typed keys are dropped (the log says so once);
// those typed just after its end wait a moment (see TransferGate).
// The area's size in characters is told to the phone for the line's
// TTYPE/NAWS, again whenever it changes.
#pragma once

#include "app/TerminalArea.h"
#include "app/TerminalOptions.h"

#include "frontend/PacedSender.h"
#include "frontend/Settings.h"
#include "frontend/TransferGate.h"

#include "serial/QvSerialPort.h"
#include "telephony/QvPhone.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace vh {

class TerminalSession : public QObject
{
    Q_OBJECT
public:
    // What the terminal emulates, in order of preference, for a telnet
    // line's TTYPE.
    static const QList<QByteArray>& TerminalTypes();

    // Places the area ("MemoTerminal") on `window` and the controls on
    // `settingsPanel`; sets the phone's OnLineTraits. `log` adds a line to
    // the window's log. Window, phone, port and settings outlive the
    // session, which the window destroys before its components.
    TerminalSession(QWidget* window, QWidget* settingsPanel, qv::QvPhone& phone, qv::QvSerialPort& port,
                    const SettingsStore& settings, std::function<void(const QString&)> log);
    ~TerminalSession() override;

    TerminalArea* Area() const { return m_area; }
    qv::WindowHandle DisplayHandle() const { return m_area->Handle(); }

    // The stored choices into the controls (a file that cannot be read is
    // shown in a message box), and the area's size to the line.
    void Load();
    // A call's data began to flow, or stopped.
    void PortOpened();
    void PortClosed();

    // The terminal in its own resizable window, and back.
    void OpenBigView();
    void CloseBigView();
    bool InBigView() const { return m_bigView != nullptr; }
    QWidget* BigView() const { return m_bigView; }

    // Whether a file transfer runs on the port; and that one has ended.
    void SetTransferRunning(std::function<bool()> running) { m_gate.SetRunning(std::move(running)); }
    void TransferEnded() { m_gate.TransferEnded(); }

    const qv::TLineTraits& Traits() const { return m_traits; }
    bool ShowsTypedText() const { return m_showTyped; }

private:
    void BuildControls(QWidget* panel);
    // The area back in its place on the window (the big view closes).
    void ReturnArea();
    void LineTraitsChanged(const qv::TLineTraits& traits);
    void Apply();
    void Typed(const QByteArray& bytes, const QByteArray& echo);
    void Send(const QByteArray& bytes);
    void ReportSize(int columns, int rows);
    void Save(const QString& name, const QString& text);

    QWidget* m_window;
    qv::QvPhone& m_phone;
    qv::QvSerialPort& m_port;
    const SettingsStore& m_settings;
    std::function<void(const QString&)> m_log;
    TerminalArea* m_area;
    PacedSender m_sender;
    TransferGate m_gate;
    bool m_keysTold = false; // the log said that typed keys are dropped
    TerminalOptions m_options;
    qv::TLineTraits m_traits;
    bool m_showTyped = true;
    QPointer<QWidget> m_bigView;
    QLabel* m_placeholder;

    QLabel* m_labelCodePage;
    QComboBox* m_comboBoxCodePage;
    QLabel* m_labelEnter;
    QComboBox* m_comboBoxEnter;
    QCheckBox* m_checkBoxLocalEcho;
    QLabel* m_labelLocalEcho;
    QPushButton* m_buttonTerminalWindow;
};

} // namespace vh
