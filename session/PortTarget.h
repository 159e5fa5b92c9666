// A port as the user named it: what every route to the module (the serial link, a running
// panel, the server) is handed, and how a running panel is matched to it.
#pragma once

#include <string>

struct PortTarget {
    std::string label;  ///< as given: "COM5", "/dev/ttyUSB0"
    int com = 0;        ///< the COM number, 0 when a path was given
    std::string path;   ///< the device path, empty for a COM number
};
