#include "Globals.h"

#include "ControllerApp.h"

// One translation unit, so the definition order below is the construction order.
ControllerState g_state;
CControllerApp theApp;
CSerialLink g_serialLink;
