#include "ControllerApp.h"

#include "ControllerDlg.h"
#include "Globals.h"

// After the project's headers, which declare names that windows.h defines as macros.
#include <windows.h>

#include <commctrl.h>

bool CControllerApp::InitInstance() {
    // The trackbars come from the common controls; the manifest selects version 6.
    INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX),
                                 ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&classes);

    CControllerDlg dialog(g_state, g_serialLink);
    dialog.DoModal();
    return false;
}
