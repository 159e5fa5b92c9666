#include "ControllerDlg.h"

#include <vector>

#include "ControlIds.h"
#include "DialogTemplate.h"
#include "DialogTemplateEx.h"
#include "NumberEdit.h"
#include "SerialLink.h"

// After the project's headers, which declare names that windows.h defines as macros.
#include <windows.h>

#include <commctrl.h>
#include <dbt.h>

namespace {

/// Posted by the monitor thread's wake-up: a notification waits in the link's hand-off slot.
constexpr UINT kWakeMessage = WM_APP + 1;

/// At most this many wake-ups and ticks are run per round while the link closes; the link
/// calls again until its monitor thread has ended.
constexpr int kServiceBatch = 16;

// The COM-port device interface class (GUID_DEVINTERFACE_COMPORT).
constexpr GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

bool IsStepButton(int id) {
    return id == IDC_BTN_CH_DOWN || id == IDC_BTN_CH_UP || id == IDC_BTN_POWER_DOWN ||
           id == IDC_BTN_POWER_UP;
}

std::string WindowText(HWND window) {
    if (window == nullptr) {
        return {};
    }
    const int length = ::GetWindowTextLengthA(window);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int copied = ::GetWindowTextA(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    return text;
}

INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
    }
    auto* dialog = reinterpret_cast<CControllerDlg*>(::GetWindowLongPtrW(window, DWLP_USER));
    if (dialog == nullptr) {
        return FALSE;
    }
    std::intptr_t result = 0;
    if (!dialog->OnMessage(window, message, wParam, lParam, result)) {
        return FALSE;
    }
    // These few return their result directly; the rest through DWLP_MSGRESULT.
    if (message == WM_INITDIALOG || message == WM_QUERYDRAGICON) {
        return result;
    }
    ::SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace

CControllerDlg::CControllerDlg(ControllerState& state, CSerialLink& link)
    : m_link(link), m_linkPort(link), m_controller(state, *this, *this, m_linkPort, m_probe, this) {
    m_link.SetErrorReporter(&m_reporter);
}

CControllerDlg::~CControllerDlg() {
    // The link may still run (the port is left open when the panel closes) and outlives the
    // dialog: from here on its reports go to standard error and its bytes nowhere.
    m_link.SetErrorReporter(nullptr);
    m_link.DetachOwner();
}

int CControllerDlg::DoModal() {
    const std::vector<std::uint32_t> dialogTemplate =
        varnel::win32::BuildDialogTemplate(varnel::kControllerDialog, varnel::kControllerControls);
    HWND window = ::CreateDialogIndirectParamW(
        ::GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(dialogTemplate.data()),
        nullptr, DialogProc, reinterpret_cast<LPARAM>(this));
    if (window == nullptr) {
        return -1;
    }
    // The panel's own loop, so that PreTranslateMessage sees every queued message first.
    m_ended = false;
    MSG msg;
    while (!m_ended) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            // Someone asked the thread to quit: pass it on to whatever loop comes next.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (got == -1) {
            break;
        }
        if (PreTranslateMessage(msg) || ::IsDialogMessageW(window, &msg)) {
            continue;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    // Nothing of the panel runs on close: the port stays as it is, and the link stops
    // delivering to a window that is going away.
    m_link.SetErrorReporter(nullptr);
    m_link.DetachOwner();
    ::DestroyWindow(window);
    return 0;
}

bool CControllerDlg::OnMessage(HWND__* window, unsigned message, std::uintptr_t wParam,
                               std::intptr_t lParam, std::intptr_t& result) {
    switch (message) {
        case WM_INITDIALOG:
            m_hWnd = window;
            varnel::win32::AttachNumberEdit(Item(IDC_EDIT_CHANNEL));
            varnel::win32::AttachNumberEdit(Item(IDC_EDIT_POWER));
            RegisterForDeviceChanges();
            OnInitDialog();
            // TRUE: the focus goes to the first tab stop, the OpenPort button.
            result = TRUE;
            return true;
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) {
                switch (LOWORD(wParam)) {
                    case IDC_BTN_OPENPORT:
                        m_controller.OnOpenPort();
                        break;
                    case IDC_BTN_SETCHANNEL:
                        m_controller.OnSetChannel();
                        break;
                    case IDC_BTN_SETPOWER:
                        m_controller.OnSetPower();
                        break;
                    case IDC_BTN_OUTPUT:
                        m_controller.OnOutputToggle();
                        break;
                    default:
                        break;
                }
            }
            // IDOK and IDCANCEL (the dialog manager's Enter and Esc) end nothing here.
            return true;
        case WM_TIMER:
            m_controller.OnTimer(static_cast<unsigned>(wParam));
            return true;
        case kWakeMessage:
            m_link.DispatchPending();
            return true;
        case WM_DEVICECHANGE:
            // Every notification, whatever its event: an adapter came or went.
            m_controller.OnDeviceChange();
            return false;
        case WM_QUERYDRAGICON:
            result = reinterpret_cast<std::intptr_t>(m_hIconBig);
            return true;
        case WM_CLOSE:
            // The close box, the system menu or Alt+F4: the loop ends and destroys the window.
            m_ended = true;
            return true;
        case WM_DESTROY:
            if (m_deviceNotify != nullptr) {
                ::UnregisterDeviceNotification(m_deviceNotify);
                m_deviceNotify = nullptr;
            }
            m_hWnd = nullptr;
            return false;
        default:
            (void)lParam;
            return false;
    }
}

void CControllerDlg::OnInitDialog() {
    HWND window = m_hWnd;
    if (m_hIconBig == nullptr) {
        HINSTANCE instance = ::GetModuleHandleW(nullptr);
        // Shared icons belong to the system: loaded once, never destroyed.
        m_hIconBig = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                     IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                                                     ::GetSystemMetrics(SM_CYICON), LR_SHARED));
        m_hIconSmall = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                       IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                       ::GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    }
    ::SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIconBig));
    ::SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIconSmall));
    m_controller.OnInitDialog();
}

void CControllerDlg::RegisterForDeviceChanges() {
    // Port arrivals and removals are broadcast to top-level windows anyway; the registration
    // adds the COM-port interface's own notifications (for example of virtual ports).
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kComPortInterface;
    m_deviceNotify =
        ::RegisterDeviceNotificationW(m_hWnd.load(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

bool CControllerDlg::PreTranslateMessage(const tagMSG& msg) {
    HWND window = m_hWnd;
    if (window == nullptr || (msg.hwnd != window && ::IsChild(window, msg.hwnd) == FALSE)) {
        return false;
    }
    switch (msg.message) {
        case WM_KEYDOWN:
            if (msg.wParam == VK_RETURN) {
                // Runs the field's SET for the two entry fields; consumed everywhere, so the
                // dialog manager never turns it into a default button's click.
                m_controller.OnEnterKey(::GetDlgCtrlID(msg.hwnd));
                return true;
            }
            return msg.wParam == VK_ESCAPE;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK: {
            // The step buttons act on the raw press (a quick second press arrives as a double
            // click); the press still goes on to the button.
            const int id = ::GetDlgCtrlID(msg.hwnd);
            if (IsStepButton(id)) {
                m_controller.OnStepButtonDown(id);
            }
            return false;
        }
        case WM_LBUTTONUP:
            // A pressed button holds the mouse, so its release comes here wherever it happens.
            m_controller.OnMouseUp();
            return false;
        default:
            return false;
    }
}

HWND__* CControllerDlg::Item(int id) const {
    return ::GetDlgItem(m_hWnd.load(), id);
}

// --- link owner ---------------------------------------------------------------------------

void CControllerDlg::OnLinkMessage(unsigned message, std::uint32_t wParam, std::int32_t lParam) {
    // Only received characters are asked for when the port opens; other notifications have
    // no handler.
    if (message == WM_LINK_RXCHAR) {
        m_controller.OnLinkRxChar(wParam, lParam);
    }
}

void CControllerDlg::WakeOwner() {
    // A wake-up that finds the slot already emptied by Close() does nothing when it runs.
    if (HWND window = m_hWnd.load()) {
        ::PostMessageW(window, kWakeMessage, 0, 0);
    }
}

void CControllerDlg::ServiceWhileClosing() {
    // Sent messages run inside PeekMessage itself; of the queued ones only ticks and
    // wake-ups, never the operator's input.
    HWND window = m_hWnd;
    MSG msg;
    for (int i = 0; i < kServiceBatch; ++i) {
        if (::PeekMessageW(&msg, window, kWakeMessage, kWakeMessage, PM_REMOVE) == FALSE &&
            ::PeekMessageW(&msg, window, WM_TIMER, WM_TIMER, PM_REMOVE) == FALSE) {
            return;
        }
        ::DispatchMessageW(&msg);
    }
}

// --- timers -------------------------------------------------------------------------------

void CControllerDlg::SetTimer(unsigned id, unsigned periodMs) {
    // Setting a running id replaces it; its first tick comes one period from now.
    ::SetTimer(m_hWnd.load(), id, periodMs, nullptr);
}

void CControllerDlg::KillTimer(unsigned id) {
    ::KillTimer(m_hWnd.load(), id);
}

void CControllerDlg::Sleep(unsigned ms) {
    ::Sleep(ms);
}

// --- controls -----------------------------------------------------------------------------

void CControllerDlg::PortListReset() {
    ::SendMessageA(Item(IDC_COMBO_PORTS), CB_RESETCONTENT, 0, 0);
}

void CControllerDlg::PortListInsert(int position, const std::string& text) {
    HWND list = Item(IDC_COMBO_PORTS);
    const auto count = static_cast<int>(::SendMessageA(list, CB_GETCOUNT, 0, 0));
    // A position past the end appends, as the extended combo box does.
    const WPARAM at = position >= 0 && position <= count ? static_cast<WPARAM>(position)
                                                         : static_cast<WPARAM>(-1);
    ::SendMessageA(list, CB_INSERTSTRING, at, reinterpret_cast<LPARAM>(text.c_str()));
}

void CControllerDlg::PortListSelect(int position) {
    ::SendMessageA(Item(IDC_COMBO_PORTS), CB_SETCURSEL, static_cast<WPARAM>(position), 0);
}

int CControllerDlg::PortListSelection() const {
    const LRESULT selected = ::SendMessageA(Item(IDC_COMBO_PORTS), CB_GETCURSEL, 0, 0);
    return selected == CB_ERR ? -1 : static_cast<int>(selected);
}

void CControllerDlg::PortListEnable(bool enable) {
    ::EnableWindow(Item(IDC_COMBO_PORTS), enable ? TRUE : FALSE);
}

void CControllerDlg::SliderSetRange(int id, int minimum, int maximum) {
    ::SendMessageW(Item(id), TBM_SETRANGEMIN, FALSE, minimum);
    ::SendMessageW(Item(id), TBM_SETRANGEMAX, FALSE, maximum);
}

void CControllerDlg::SliderClearTicks(int id) {
    ::SendMessageW(Item(id), TBM_CLEARTICS, TRUE, 0);
}

void CControllerDlg::SliderAddTick(int id, int position) {
    ::SendMessageW(Item(id), TBM_SETTIC, 0, position);
}

int CControllerDlg::SliderPosition(int id) const {
    return static_cast<int>(::SendMessageW(Item(id), TBM_GETPOS, 0, 0));
}

void CControllerDlg::SliderSetPosition(int id, int position) {
    ::SendMessageW(Item(id), TBM_SETPOS, TRUE, position);
}

void CControllerDlg::EditSetTextOffset(int id, int dy) {
    // From the client rectangle each time, so a repeat never moves the text further. Only a
    // multi-line edit control honours the formatting rectangle.
    HWND edit = Item(id);
    RECT rect;
    if (edit != nullptr && ::GetClientRect(edit, &rect) != FALSE) {
        ::OffsetRect(&rect, 0, dy);
        ::SendMessageW(edit, EM_SETRECT, 0, reinterpret_cast<LPARAM>(&rect));
    }
}

std::string CControllerDlg::GetItemText(int id) const {
    return WindowText(Item(id));
}

void CControllerDlg::SetItemText(int id, const std::string& text) {
    // A module repeats its replies; writing the same text again would repaint the control for
    // nothing (and, in an entry field, move the operator's caret).
    HWND control = Item(id);
    if (control != nullptr && WindowText(control) != text) {
        ::SetWindowTextA(control, text.c_str());
    }
}

void CControllerDlg::SetCaption(int id, const std::string& text) {
    SetItemText(id, text);
}

void CControllerDlg::ShowNotice(const std::string& caption, const std::string& text) {
    ::MessageBoxA(m_hWnd.load(), text.c_str(), caption.c_str(), MB_OK | MB_ICONWARNING);
}
