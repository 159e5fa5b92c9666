// The ports command: the platform lists the ports, one line each; printing is shared.
#pragma once

#include <string>
#include <vector>

#include "CtlOptions.h"

/// One line per port that exists (with options.all, also those named but not there), as text
/// or, with options.json, as a JSON object. Nothing is opened for reading or writing.
std::vector<std::string> PortLines(const CtlOptions& options);
