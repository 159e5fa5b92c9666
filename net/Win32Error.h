// The system's text for a Win32 or Winsock error code, for messages to the user (Windows only).
#pragma once

#include <string>

/// FormatMessage's text of `code`, without its closing full stop and line break; "error N"
/// when the system has none.
std::string Win32ErrorText(unsigned long code);
