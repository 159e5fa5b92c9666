// The VXI-11 core and abort channels' programs, procedures, error codes and messages, with
// their XDR forms.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "Xdr.h"

namespace vxi11 {

inline constexpr std::uint32_t kCoreProgram = 0x0607AF;
inline constexpr std::uint32_t kAbortProgram = 0x0607B1;
inline constexpr std::uint32_t kVxi11Version = 1;

/// Procedures of the core channel, and device_abort of the abort channel.
enum class Proc : std::uint32_t {
    DeviceAbort = 1,  ///< abort channel
    CreateLink = 10,
    DeviceWrite = 11,
    DeviceRead = 12,
    DeviceReadStb = 13,
    DeviceTrigger = 14,
    DeviceClear = 15,
    DeviceRemote = 16,
    DeviceLocal = 17,
    DeviceLock = 18,
    DeviceUnlock = 19,
    DeviceEnableSrq = 20,
    DeviceDocmd = 22,
    DestroyLink = 23,
    CreateIntrChan = 25,
    DestroyIntrChan = 26,
};

/// Device_ErrorCode values.
enum class ErrorCode : std::int32_t {
    NoError = 0,
    SyntaxError = 1,
    DeviceNotAccessible = 3,
    InvalidLinkIdentifier = 4,
    ParameterError = 5,
    ChannelNotEstablished = 6,
    OperationNotSupported = 8,
    OutOfResources = 9,
    DeviceLockedByAnotherLink = 11,
    NoLockHeldByThisLink = 12,
    IoTimeout = 15,
    IoError = 17,
    InvalidAddress = 21,
    Abort = 23,
    ChannelAlreadyEstablished = 29,
};

/// Device_Flags bits.
inline constexpr std::int32_t kFlagWaitLock = 0x01;    ///< wait up to lock_timeout for a lock
inline constexpr std::int32_t kFlagEnd = 0x08;         ///< this write ends the message
inline constexpr std::int32_t kFlagTermChrSet = 0x80;  ///< a read also ends on termChar

/// Device_ReadResp reason bits.
inline constexpr std::int32_t kReasonRequestCount = 0x01;  ///< requestSize bytes given
inline constexpr std::int32_t kReasonChr = 0x02;           ///< ended on termChar
inline constexpr std::int32_t kReasonEnd = 0x04;           ///< the message ended

/// Longest device name taken in create_link.
inline constexpr std::uint32_t kMaxDeviceName = 256;

using LinkId = std::int32_t;

struct CreateLinkParms {
    std::int32_t clientId = 0;
    bool lockDevice = false;
    std::uint32_t lockTimeout = 0;  ///< ms
    std::string device;
};
struct WriteParms {
    LinkId lid = 0;
    std::uint32_t ioTimeout = 0;
    std::uint32_t lockTimeout = 0;
    std::int32_t flags = 0;
    std::string data;
};
struct ReadParms {
    LinkId lid = 0;
    std::uint32_t requestSize = 0;
    std::uint32_t ioTimeout = 0;
    std::uint32_t lockTimeout = 0;
    std::int32_t flags = 0;
    char termChar = 0;
};
/// Device_GenericParms: readstb, trigger, clear, remote, local.
struct GenericParms {
    LinkId lid = 0;
    std::int32_t flags = 0;
    std::uint32_t lockTimeout = 0;
    std::uint32_t ioTimeout = 0;
};
struct LockParms {
    LinkId lid = 0;
    std::int32_t flags = 0;
    std::uint32_t lockTimeout = 0;
};

/// Device_Error: the reply of the procedures that answer an error code alone.
struct ErrorResp {
    ErrorCode error = ErrorCode::NoError;
};
struct CreateLinkResp {
    ErrorCode error = ErrorCode::NoError;
    LinkId lid = 0;
    std::uint16_t abortPort = 0;
    std::uint32_t maxRecvSize = 0;
};
struct WriteResp {
    ErrorCode error = ErrorCode::NoError;
    std::uint32_t size = 0;
};
struct ReadResp {
    ErrorCode error = ErrorCode::NoError;
    std::int32_t reason = 0;
    std::string data{};
};
struct ReadStbResp {
    ErrorCode error = ErrorCode::NoError;
    std::uint8_t stb = 0;
};
/// Device_DocmdResp (docmd is not supported: an error and no data).
struct DocmdResp {
    ErrorCode error = ErrorCode::NoError;
};

/// Any reply of the two channels.
using Reply = std::variant<ErrorResp, CreateLinkResp, WriteResp, ReadResp, ReadStbResp, DocmdResp>;

/// Decoders: false when the arguments do not decode (GARBAGE_ARGS).
bool Decode(std::string_view args, CreateLinkParms& out);
bool Decode(std::string_view args, WriteParms& out);
bool Decode(std::string_view args, ReadParms& out);
bool Decode(std::string_view args, GenericParms& out);
bool Decode(std::string_view args, LockParms& out);
/// A bare Device_Link: device_unlock, destroy_link, device_abort.
bool Decode(std::string_view args, LinkId& out);
/// The argument procedures only checked and refused take: the link they name, when they
/// name one (enable_srq, docmd), and whether the rest decodes.
bool DecodeLinkOf(Proc proc, std::string_view args, LinkId& out);

/// Appends the reply's results (after the RPC header).
void Encode(const Reply& reply, XdrWriter& writer);

}  // namespace vxi11
