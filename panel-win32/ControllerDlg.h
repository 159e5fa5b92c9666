// The Win32 panel window: the dialog built from the template, its controls, timers and routing.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ControllerState.h"
#include "LinkOwner.h"
#include "MessageBoxReporter.h"
#include "PanelController.h"
#include "SerialLinkPort.h"

class CSerialLink;
struct HWND__;
struct HICON__;
struct tagMSG;

/// The control panel dialog on Win32. It creates its window from the in-memory template,
/// serves its controls and window timers to the panel's behaviour (PanelController), owns the
/// serial link's deliveries, and routes button clicks, timer ticks, received bytes, device
/// changes and the keys and mouse presses the behaviour needs. Only closing the window ends
/// it: Enter and Esc never do, and the port may be left open.
class CControllerDlg : public IPanelControls, public ITimerHost, public ILinkOwner {
public:
    CControllerDlg(ControllerState& state, CSerialLink& link);
    ~CControllerDlg() override;
    CControllerDlg(const CControllerDlg&) = delete;
    CControllerDlg& operator=(const CControllerDlg&) = delete;

    /// Creates the window, runs the panel's message loop until the window is closed and
    /// destroys it. Returns 0 after a close, -1 when the window could not be created.
    int DoModal();

    /// The dialog procedure's work for `window`: true when `message` was handled, with
    /// `result` set.
    bool OnMessage(HWND__* window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                   std::intptr_t& result);

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
    /// A message box owned by the panel (so the panel takes no input while it is up).
    void ShowNotice(const std::string& caption, const std::string& text) override;

    // ITimerHost: the dialog's window timers and a real pause of its thread.
    void SetTimer(unsigned id, unsigned periodMs) override;
    void KillTimer(unsigned id) override;
    void Sleep(unsigned ms) override;

    // ILinkOwner
    void OnLinkMessage(unsigned message, std::uint32_t wParam, std::int32_t lParam) override;
    /// Monitor thread: posts the wake-up message to the dialog, whose handler runs
    /// CSerialLink::DispatchPending().
    void WakeOwner() override;
    /// Inside Close(): runs timer ticks, wake-ups and sent messages, never operator input.
    void ServiceWhileClosing() override;

private:
    void OnInitDialog();
    /// Sees every queued message bound for the panel before the dialog manager does; true
    /// when it is consumed.
    bool PreTranslateMessage(const tagMSG& msg);
    void RegisterForDeviceChanges();
    HWND__* Item(int id) const;

    CSerialLink& m_link;
    SerialLinkPort m_linkPort;
    SystemPortProbe m_probe;
    varnel::win32::MessageBoxReporter m_reporter;
    PanelController m_controller;

    std::atomic<HWND__*> m_hWnd{nullptr};  // read by WakeOwner on the monitor thread
    HICON__* m_hIconBig = nullptr;
    HICON__* m_hIconSmall = nullptr;
    void* m_deviceNotify = nullptr;  // HDEVNOTIFY of the COM-port interface registration
    bool m_ended = false;
};
