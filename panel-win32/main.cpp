// Entry of the Win32 panel program `varnel.exe`.
#include "ControllerApp.h"
#include "Globals.h"

// After the project's headers, which declare names that windows.h defines as macros.
#include <windows.h>

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
    // The command line is not read: the panel starts the same way every time.
    theApp.InitInstance();
    return 0;
}
