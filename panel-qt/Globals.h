// The program's global objects. They are built in this order before main() runs and
// destroyed in reverse after it returns, so the serial link outlives every window.
#pragma once

#include "ControllerState.h"
#include "SerialLink.h"

class CControllerApp;

/// The panel's one state record.
extern ControllerState g_state;
/// The application object.
extern CControllerApp theApp;
/// The one serial link. Its destructor stops a still-running monitor thread and closes the
/// port when the program ends with the port open.
extern CSerialLink g_serialLink;
