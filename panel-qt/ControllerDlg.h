// The panel window: the dialog built from the template, its controls, timers and routing.
#pragma once

#include <QBasicTimer>
#include <QDialog>
#include <QHash>
#include <QIcon>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ControlServer.h"
#include "DeviceWatcher.h"
#include "DialogUnits.h"
#include "LinkBridge.h"
#include "MessageBoxReporter.h"
#include "PanelController.h"
#include "SerialLinkPort.h"

class CNumberEdit;
class CSerialLink;
class CTickSlider;
class QComboBox;
class QPushButton;

/// The control panel dialog. It builds its controls from the dialog template, serves them and
/// its timers to the panel's behaviour (PanelController), and routes button clicks, timer
/// ticks, received bytes, device changes and the mouse and key events the behaviour needs.
/// Only closing the window ends it: Enter and Esc never do.
class CControllerDlg : public QDialog, public IPanelControls, public ITimerHost {
    Q_OBJECT
public:
    /// The panel on the program's global state and serial link.
    explicit CControllerDlg(QWidget* parent = nullptr);
    /// The panel on the given state and link (tests and tools).
    CControllerDlg(ControllerState& state, CSerialLink& link, QWidget* parent = nullptr);
    ~CControllerDlg() override;

    /// The behaviour the window serves.
    PanelController& Controller() { return m_controller; }
    /// The control socket scripts reach the module through while a port is open.
    const ControlServer& Server() const { return m_server; }
    /// The controls in template order.
    const std::vector<QWidget*>& Controls() const { return m_controls; }
    /// The dialog font's base units the layout was computed from.
    const varnel::DialogBaseUnits& BaseUnits() const { return m_base; }
    /// The control with `id`, nullptr for an unknown id (or IDC_STATIC).
    QWidget* Control(int id) const { return m_controlById.value(id, nullptr); }

    // IPanelControls
    void PortListReset() override;
    void PortListInsert(int position, const std::string& text) override;
    void PortListSelect(int position) override;
    int PortListSelection() const override;
    void PortListEnable(bool enable) override;
    void SliderSetRange(int id, int minimum, int maximum) override;
    void SliderClearTicks(int id) override;
    void SliderAddTick(int id, int position) override;
    int SliderPosition(int id) const override;
    void SliderSetPosition(int id, int position) override;
    void EditSetTextOffset(int id, int dy) override;
    std::string GetItemText(int id) const override;
    void SetItemText(int id, const std::string& text) override;
    void SetCaption(int id, const std::string& text) override;
    void ShowNotice(const std::string& caption, const std::string& text) override;

    // ITimerHost
    void SetTimer(unsigned id, unsigned periodMs) override;
    void KillTimer(unsigned id) override;
    void Sleep(unsigned ms) override;

public slots:
    /// Does nothing: the panel has no Cancel, and Esc must not close it. The close box ends
    /// the dialog through closeEvent().
    void reject() override;

protected:
    /// Installed on the application while the dialog lives: sees every event bound for the
    /// panel's window and controls before they do.
    bool eventFilter(QObject* target, QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void OnInitDialog();
    bool PreTranslateMessage(QObject* target, QEvent* event);
    void OnLinkMessage(unsigned message, std::uint32_t wParam, std::int32_t lParam);
    int IdOf(const QObject* widget) const;
    CTickSlider* Slider(int id) const;
    CNumberEdit* Edit(int id) const;

    QPushButton* m_btnOpenPort = nullptr;
    QPushButton* m_btnOutput = nullptr;
    QPushButton* m_btnSetPower = nullptr;
    QPushButton* m_btnSetChannel = nullptr;
    QComboBox* m_comboPorts = nullptr;
    QIcon m_icon;

    CSerialLink& m_link;
    varnel::DialogBaseUnits m_base;
    std::vector<QWidget*> m_controls;
    QHash<int, QWidget*> m_controlById;
    std::array<QBasicTimer, TIMER_QUERY_OUTPUT + 1> m_timers;

    SerialLinkPort m_linkPort;
    SystemPortProbe m_probe;
    MessageBoxReporter m_reporter;
    LinkBridge m_bridge;
    PanelController m_controller;
    DeviceWatcher m_watcher;
    ControlServer m_server;
};
