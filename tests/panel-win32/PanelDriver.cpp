// Drives varnel.exe end to end through window messages, against varnel-module on a pty that
// the Wine prefix maps to COM5. Run by scripts/wine-panel.sh, which owns the prefix and the
// modules and follows the driver's signal files:
//   panel_driver.exe scenario <varnel.exe> <module 1 log> <module 2 log> <signal folder>
//     "freeze": stop module 1 (SIGSTOP), then create "frozen"; "thaw": let it run again;
//     "unplug": end module 1; "replug": start module 2, then create "replugged".
//   panel_driver.exe pose <varnel.exe> <signal folder>
//     opens and synchronises the panel, writes "posed" with the window's rectangle, closes the
//     panel when "shot" appears.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ControlIds.h"
#include "DialogTemplate.h"
#include "DriverSupport.h"
#include "PanelScenario.h"

// After the project's headers, which declare names that windows.h defines as macros.
#include <windows.h>

#include <commctrl.h>
#include <dbt.h>

using driver::Check;
using driver::Send;
using driver::Text;
using driver::WaitUntil;

namespace {

const std::string kPortName = "COM5";

/// The running panel: its process and its dialog.
class PanelWindow {
public:
    ~PanelWindow() {
        if (m_process.hProcess != nullptr) {
            if (::WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
                ::TerminateProcess(m_process.hProcess, 99);
            }
            ::CloseHandle(m_process.hProcess);
            ::CloseHandle(m_process.hThread);
        }
    }

    bool Start(const std::string& exe) {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        std::string commandLine = "\"" + exe + "\"";
        if (::CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &m_process) == FALSE) {
            return Check(false, "varnel.exe starts", "error " + std::to_string(::GetLastError()));
        }
        return Check(WaitUntil([this] {
                         m_dialog = driver::FindDialog(m_process.dwProcessId, "Varnel");
                         return m_dialog != nullptr;
                     }),
                     "the dialog \"Varnel\" appears");
    }

    HWND Dialog() const { return m_dialog; }
    HWND Item(int id) const { return ::GetDlgItem(m_dialog, id); }
    std::string ItemText(int id) const { return Text(Item(id)); }
    DWORD Pid() const { return m_process.dwProcessId; }
    DWORD Thread() const { return m_process.dwThreadId; }
    HANDLE Process() const { return m_process.hProcess; }

    void Click(int id) const { Send(Item(id), BM_CLICK); }
    void PostKey(HWND target, WPARAM key) const {
        ::PostMessageA(target, WM_KEYDOWN, key, 1);
        ::PostMessageA(target, WM_KEYUP, key, 0xC0000001);
    }

    /// Entry, slider and grid readouts of the channel | power | output caption.
    std::string Readouts() const {
        std::string text;
        for (int id : {IDC_EDIT_CHANNEL, IDC_SLIDER_CHANNEL, IDC_TXT_FREQUENCY, IDC_TXT_WAVELENGTH,
                       IDC_TXT_ITU, 0, IDC_EDIT_POWER, IDC_SLIDER_POWER, 0, IDC_BTN_OUTPUT}) {
            if (!text.empty()) {
                text += ' ';
            }
            if (id == 0) {
                text += '|';
            } else if (id == IDC_SLIDER_CHANNEL || id == IDC_SLIDER_POWER) {
                text += std::to_string(Send(Item(id), TBM_GETPOS));
            } else {
                text += ItemText(id);
            }
        }
        return text;
    }

    std::vector<std::string> Ports() const {
        std::vector<std::string> ports;
        HWND list = Item(IDC_COMBO_PORTS);
        const auto count = static_cast<int>(Send(list, CB_GETCOUNT));
        for (int i = 0; i < count; ++i) {
            ports.push_back(ItemOf(list, i));
        }
        return ports;
    }

    /// The text of list item `index`. Asked for in UTF-16: Wine hands the list's own text
    /// across processes unconverted.
    static std::string ItemOf(HWND list, int index) {
        wchar_t item[64] = {};
        if (index < 0 || Send(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index)) >= 63) {
            return {};
        }
        ::SendMessageTimeoutW(list, CB_GETLBTEXT, static_cast<WPARAM>(index),
                              reinterpret_cast<LPARAM>(item), SMTO_NORMAL, driver::kGenerousMs,
                              nullptr);
        std::string text;
        for (const wchar_t* c = item; *c != 0; ++c) {
            text += *c < 128 ? static_cast<char>(*c) : '?';
        }
        return text;
    }

    int PortIndex(const std::string& name) const {
        const std::vector<std::string> ports = Ports();
        for (std::size_t i = 0; i < ports.size(); ++i) {
            if (ports[i] == name) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    bool Closed() const {
        return ItemText(IDC_BTN_OPENPORT) == "OpenPort" &&
               ::IsWindowEnabled(Item(IDC_COMBO_PORTS)) != FALSE;
    }

    /// Selects our port as an operator would, checks the selection, and presses OpenPort.
    bool OpenOurPort() const {
        const int index = PortIndex(kPortName);
        if (!Check(index >= 0, "COM5 is listed")) {
            return false;
        }
        HWND list = Item(IDC_COMBO_PORTS);
        Send(list, CB_SETCURSEL, static_cast<WPARAM>(index));
        Send(m_dialog, WM_COMMAND, MAKEWPARAM(IDC_COMBO_PORTS, CBN_SELCHANGE),
             reinterpret_cast<LPARAM>(list));
        const std::string selected = ItemOf(list, static_cast<int>(Send(list, CB_GETCURSEL)));
        // Never press OpenPort on a port this run did not create.
        if (!Check(selected == kPortName, "the selected port is COM5", selected)) {
            return false;
        }
        Click(IDC_BTN_OPENPORT);
        return Check(ItemText(IDC_BTN_OPENPORT) == "ClosePort", "OpenPort opens COM5");
    }

    /// The output reply ends the synchronisation and is the only source of "ON" / "OFF".
    bool WaitSynced(const std::string& output) const {
        return Check(WaitUntil([&] { return ItemText(IDC_BTN_OUTPUT) == output; }),
                     "synchronised, output " + output, Readouts());
    }

    bool WaitExit(DWORD& code) const {
        if (::WaitForSingleObject(m_process.hProcess, driver::kGenerousMs) != WAIT_OBJECT_0) {
            return false;
        }
        ::GetExitCodeProcess(m_process.hProcess, &code);
        return true;
    }

private:
    PROCESS_INFORMATION m_process{};
    HWND m_dialog = nullptr;
};

// --- the dialog as built ------------------------------------------------------------------

const char* ExpectedClass(varnel::ControlClass kind) {
    switch (kind) {
        case varnel::ControlClass::Button:
            return "Button";
        case varnel::ControlClass::Edit:
            return "Edit";
        case varnel::ControlClass::Static:
            return "Static";
        case varnel::ControlClass::ComboBox:
            return "ComboBox";
        case varnel::ControlClass::Trackbar:
            return "msctls_trackbar32";
    }
    return "";
}

std::string FileVersionString(const std::string& exe) {
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(exe.c_str(), &handle);
    std::vector<char> block(size);
    void* value = nullptr;
    UINT length = 0;
    if (size == 0 || ::GetFileVersionInfoA(exe.c_str(), 0, size, block.data()) == FALSE ||
        ::VerQueryValueA(block.data(), "\\StringFileInfo\\080404b0\\FileVersion", &value,
                         &length) == FALSE) {
        return {};
    }
    return static_cast<const char*>(value);
}

/// The sizes the icon group of `exe` offers, each loaded at its own size. (Wine answers
/// WM_GETICON from another process with nothing, so the group is read from the file.)
std::string IconSizes(const std::string& exe) {
    HMODULE module = ::LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    std::string sizes;
    for (int size : {16, 32, 48}) {
        auto* icon = static_cast<HICON>(
            ::LoadImageA(module, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON, size, size, 0));
        ICONINFO info{};
        BITMAP bitmap{};
        if (icon != nullptr && ::GetIconInfo(icon, &info) != FALSE) {
            ::GetObjectA(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof bitmap,
                         &bitmap);
            sizes += (sizes.empty() ? "" : " ") + std::to_string(bitmap.bmWidth);
            ::DeleteObject(info.hbmColor);
            ::DeleteObject(info.hbmMask);
        }
        if (icon != nullptr) {
            ::DestroyIcon(icon);
        }
    }
    if (module != nullptr) {
        ::FreeLibrary(module);
    }
    return sizes;
}

void CheckTheDialogAsBuilt(const PanelWindow& panel, const std::string& exe) {
    HWND dialog = panel.Dialog();
    Check((::GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0,
          "the dialog has its own taskbar button");
    Check((::GetWindowLongA(dialog, GWL_STYLE) &
           (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME)) == 0,
          "the dialog has a fixed frame, no minimise or maximise box");
    std::string mismatches;
    for (const varnel::ControlTemplate& control : varnel::kControllerControls) {
        if (control.id == IDC_STATIC) {
            continue;
        }
        HWND item = panel.Item(control.id);
        const auto style = static_cast<DWORD>(::GetWindowLongA(item, GWL_STYLE));
        const auto exStyle = static_cast<DWORD>(::GetWindowLongA(item, GWL_EXSTYLE));
        const DWORD wanted = varnel::StyleBits(control.style);
        // Visible and disabled change at run time; the port list drops its sort flag and
        // hands its scroll bar to the dropped-down list; the dialog manager draws a border as
        // a client edge.
        const DWORD fixed =
            ~static_cast<DWORD>(WS_VISIBLE | WS_DISABLED | CBS_SORT | WS_VSCROLL | WS_BORDER);
        const bool bordered = (style & WS_BORDER) != 0 || (exStyle & WS_EX_CLIENTEDGE) != 0;
        if (item == nullptr ||
            lstrcmpiA(driver::ClassName(item).c_str(), ExpectedClass(control.kind)) != 0 ||
            (style & fixed) != (wanted & fixed) || bordered != ((wanted & WS_BORDER) != 0)) {
            char seen[48];
            std::snprintf(seen, sizeof seen, "=%08lX ", static_cast<unsigned long>(style));
            mismatches += std::string(control.name) + seen;
        }
    }
    Check(mismatches.empty(), "every control has the template's class and style", mismatches);
    Check((::GetWindowLongA(panel.Item(IDC_COMBO_PORTS), GWL_STYLE) & CBS_SORT) == 0,
          "the port list does not sort");
    Check(Send(panel.Item(IDC_SLIDER_CHANNEL), TBM_GETNUMTICS) == 10 &&
              Send(panel.Item(IDC_SLIDER_POWER), TBM_GETNUMTICS) == 7,
          "tick marks: 1, 10..80, 89 and 700, 800..1200, 1300");
    wchar_t step[8] = {};
    ::SendMessageTimeoutW(panel.Item(IDC_BTN_CH_DOWN), WM_GETTEXT, 8,
                          reinterpret_cast<LPARAM>(step), SMTO_NORMAL, driver::kGenerousMs,
                          nullptr);
    Check(step[0] == 0x300A && step[1] == 0, "the step buttons read U+300A and U+300B");
    Check(IconSizes(exe) == "16 32 48", "the icon group IDR_MAINFRAME holds 16, 32 and 48 pixels",
          IconSizes(exe));
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    ::GetGUIThreadInfo(panel.Thread(), &thread);
    Check(thread.hwndFocus == panel.Item(IDC_BTN_OPENPORT), "the focus starts on OpenPort");
    const std::string version = FileVersionString(exe);
    Check(version == "1, 0, 0, 1", "version block 080404b0 FileVersion \"1, 0, 0, 1\"", version);
}

// --- the scenario -------------------------------------------------------------------------

int IdOf(const std::string& name) {
    for (const varnel::ControlTemplate& control : varnel::kControllerControls) {
        if (control.name == name) {
            return control.id;
        }
    }
    return 0;
}

bool WaitForSignal(const std::string& path) {
    return Check(WaitUntil([&] { return driver::FileExists(path); }, 2 * driver::kGenerousMs),
                 "the script answers with " + path);
}

/// The scenario's adapter: window messages to the panel, signal files to the script that owns
/// the modules (see the top of this file).
class Adapter : public scenario::Panel {
public:
    Adapter(PanelWindow& panel, std::string log1, std::string log2, std::string signals)
        : m_panel(panel), m_logs{std::move(log1), std::move(log2)}, m_signals(std::move(signals)) {}

    std::string OurPort() const override { return kPortName; }
    std::string Text(const std::string& control) override {
        HWND item = m_panel.Item(IdOf(control));
        return driver::ClassName(item) == "msctls_trackbar32"
                   ? std::to_string(Send(item, TBM_GETPOS))
                   : driver::Text(item);
    }
    std::vector<std::string> Ports() override { return m_panel.Ports(); }
    bool Closed() override { return m_panel.Closed(); }
    bool Visible() override { return ::IsWindowVisible(m_panel.Dialog()) != FALSE; }
    bool OpenOurPort() override { return m_panel.OpenOurPort(); }
    void Slide(const std::string& control, const std::vector<int>& positions) override {
        for (int position : positions) {
            Send(m_panel.Item(IdOf(control)), TBM_SETPOS, TRUE, position);
        }
    }
    bool SlideIsAtomic() const override { return false; }
    // Typed as characters through the field's filter, after the keys posted before them.
    void Type(const std::string& field, const std::string& chars) override {
        HWND edit = m_panel.Item(IdOf(field));
        Send(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
        for (char c : chars) {
            ::PostMessageA(edit, WM_CHAR, static_cast<WPARAM>(c), 1);
        }
    }
    void Key(const std::string& control, bool escape) override {
        m_panel.PostKey(m_panel.Item(IdOf(control)), escape ? VK_ESCAPE : VK_RETURN);
    }
    void Click(const std::string& button) override { m_panel.Click(IdOf(button)); }
    void Hold(const std::string& button, bool down) override {
        ::PostMessageA(m_panel.Item(IdOf(button)), down ? WM_LBUTTONDOWN : WM_LBUTTONUP,
                       down ? MK_LBUTTON : 0, MAKELPARAM(4, 4));
    }
    bool AnswerReport() override {
        HWND box = driver::FindDialog(m_panel.Pid(), "Application Error");
        if (box == nullptr) {
            return false;
        }
        Send(box, WM_COMMAND, IDOK);
        return WaitUntil([&] { return ::IsWindow(box) == FALSE; });
    }
    void DeviceChange() override {
        ::PostMessageA(m_panel.Dialog(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    }
    bool Module(scenario::ModuleEvent event) override {
        static const char* const kAsk[] = {"freeze", "thaw", "unplug", "replug"};
        static const char* const kAnswer[] = {"frozen", "", "", "replugged"};
        const auto index = static_cast<std::size_t>(event);
        return driver::TouchFile(m_signals + "\\" + kAsk[index]) &&
               (*kAnswer[index] == 0 || WaitForSignal(m_signals + "\\" + kAnswer[index]));
    }
    std::string WireLog(int module) override {
        return driver::ReadFileText(m_logs[module == 1 ? 0 : 1]);
    }
    bool ExitWithPortOpen(std::string& detail) override {
        ::PostMessageA(m_panel.Dialog(), WM_CLOSE, 0, 0);
        DWORD code = 1;
        const bool ended = m_panel.WaitExit(code);
        detail = "exit " + std::to_string(code);
        return ended && code == 0;
    }
    void Idle(int ms) override { ::Sleep(static_cast<DWORD>(ms)); }
    void Check(bool passed, const std::string& what, const std::string& detail) override {
        driver::Check(passed, what, detail);
    }

private:
    PanelWindow& m_panel;
    std::string m_logs[2];
    std::string m_signals;
};

int Scenario(const std::string& exe, const std::string& log1, const std::string& log2,
             const std::string& signals) {
    PanelWindow panel;
    if (!panel.Start(exe)) {
        return 1;
    }
    CheckTheDialogAsBuilt(panel, exe);
    Adapter adapter(panel, log1, log2, signals);
    return scenario::Run(adapter) && driver::Failures() == 0 ? 0 : 1;
}

int Pose(const std::string& exe, const std::string& signals) {
    PanelWindow panel;
    if (!panel.Start(exe) || !panel.OpenOurPort() || !panel.WaitSynced("ON")) {
        return 1;
    }
    RECT rect{};
    ::GetWindowRect(panel.Dialog(), &rect);
    const std::string geometry = std::to_string(rect.right - rect.left) + "x" +
                                 std::to_string(rect.bottom - rect.top) + "+" +
                                 std::to_string(rect.left) + "+" + std::to_string(rect.top);
    FILE* file = std::fopen((signals + "\\posed").c_str(), "w");
    if (file != nullptr) {
        std::fprintf(file, "%s\n", geometry.c_str());
        std::fclose(file);
    }
    WaitForSignal(signals + "\\shot");
    ::PostMessageA(panel.Dialog(), WM_CLOSE, 0, 0);
    DWORD code = 1;
    return panel.WaitExit(code) && code == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 5 && args[0] == "scenario") {
        return Scenario(args[1], args[2], args[3], args[4]);
    }
    if (args.size() == 3 && args[0] == "pose") {
        return Pose(args[1], args[2]);
    }
    std::fprintf(stderr,
                 "usage: panel_driver scenario <varnel.exe> <log 1> <log 2> <signal folder>\n"
                 "       panel_driver pose <varnel.exe> <signal folder>\n");
    return 64;
}
