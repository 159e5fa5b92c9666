// The PORT argument: "COMn", resolved exactly as the panel resolves it, or (on POSIX) a device
// path. PortArgument.cpp reads COM numbers; the platform's file (PortArgumentPosix.cpp,
// PortArgumentWin32.cpp) does the rest.
#pragma once

#include <string>
#include <string_view>

#include "OpenFailure.h"
#include "PortTarget.h"

class CSerialLink;
class ILinkOwner;
struct LinkSettings;

/// What --help says of PORT and of the panel route on this platform, after "panel. " on the
/// help's line; no final line break.
extern const char* const kPortHelp;

/// Reads "COMn" (any case, 1..254) or, on POSIX, a path (anything with a '/'); a bare name
/// such as "ttyUSB0" means /dev/ttyUSB0. Returns an empty string on success, else the problem.
std::string ParsePortTarget(std::string_view text, PortTarget& target);

/// The platform's part of ParsePortTarget: `text` (not empty) is no COM name. On POSIX it is a
/// device path; Windows names its ports by COM number alone, so there it is refused.
std::string ParsePortPath(std::string_view text, PortTarget& target);

/// Opens `target` on `link` as the panel opens a port; the link's Open (or OpenPath) result.
int OpenPortTarget(CSerialLink& link, ILinkOwner* owner, const PortTarget& target,
                   const LinkSettings& settings);

/// Checks, without opening anything, that what `com` resolves to is a terminal that is
/// there; else fills `failure` (NoSuchDevice or NotATerminal) and returns false.
bool CheckPortPresent(int com, OpenFailure& failure);

/// The user's text for a failed open of `target`: what failed and what to do, e.g.
/// "COM5 (/dev/ttyUSB0) cannot be opened: it is in use by minicom (PID 4242). ...",
/// worded by the serial link's own DescribeOpenFailure.
std::string DescribePortFailure(const PortTarget& target, OpenFailure failure);
