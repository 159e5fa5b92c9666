// The panel's control protocol: one JSON object a line each way, with a version field.
// Requests are validated here, in full, before the panel acts on any of them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "ModuleQuantity.h"

inline constexpr int kControlVersion = 1;
/// A request line longer than this (without its newline) is refused unread.
inline constexpr std::size_t kMaxControlLine = 4096;

/// What a request asks for.
enum class ControlCommand {
    Hello,  ///< which port the panel holds and whether it is synchronised
    Get,    ///< what the panel last received (fresh: after querying the module)
    Set,    ///< the operator's typed entry + Enter, or the ON/OFF button
};

/// A valid request.
struct ControlRequest {
    ControlCommand command = ControlCommand::Hello;
    /// The setting asked for; empty for all three (a get with no "what", or "what": "all").
    std::optional<Quantity> quantity;
    bool fresh = false;  ///< get: query the module first
    /// set channel/power: the text typed into the entry field ("45", "8.2"); set output:
    /// "on" or "off".
    std::string text;
};

/// Reads one request line (without its newline). On failure returns false and says why in
/// `error`: malformed JSON, another version, unknown commands, fields or values, a line over
/// kMaxControlLine. Never throws.
bool ParseControlRequest(std::string_view line, ControlRequest& request, std::string& error);

/// The request line for `request` (no newline).
std::string FormatControlRequest(const ControlRequest& request);

/// Error classes of an answer, so a client can map them to its own outcomes.
inline constexpr char kErrBadRequest[] = "bad-request";
inline constexpr char kErrNotSynced[] = "not-synced";
inline constexpr char kErrPortClosed[] = "port-closed";
inline constexpr char kErrPortGone[] = "port-gone";
inline constexpr char kErrNoReply[] = "no-reply";

/// An error answer line (no newline): {"v":1,"ok":false,"error":code,"message":text}.
std::string FormatControlError(const std::string& code, const std::string& message);
