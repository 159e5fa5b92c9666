// The command tree as data: each row a header pattern in SCPI's notation (long form with the
// short form in capitals, optional nodes in brackets), the forms it has and the parameter it
// takes. Header lookup follows SCPI's rules: any case, long or short form, optional nodes,
// and a chained header relative to the previous one's path. A chained header that names nothing
// below that path is looked up from the root before it is an error, as scripts expect of
// "CHAN 45;POW 9;OUTP ON"; a leading ':' still goes to the root at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "ScpiErrors.h"

namespace scpi {

/// What a command does.
enum class Op : std::uint8_t {
    Identify,       ///< *IDN?
    Reset,          ///< *RST: output off, nothing else
    Clear,          ///< *CLS
    EventEnable,    ///< *ESE, *ESE?
    EventStatus,    ///< *ESR?
    OperationDone,  ///< *OPC, *OPC?
    ServiceEnable,  ///< *SRE, *SRE?
    StatusByte,     ///< *STB?
    SelfTest,       ///< *TST?
    Wait,           ///< *WAI
    ErrorNext,      ///< SYSTem:ERRor[:NEXT]?
    ErrorCount,     ///< SYSTem:ERRor:COUNt?
    Version,        ///< SYSTem:VERSion?
    Operation,      ///< STATus:OPERation[:EVENt]?
    Questionable,   ///< STATus:QUEStionable[:EVENt]?
    StatusPreset,   ///< STATus:PRESet
    Channel,        ///< [SOURce]:CHANnel
    ChannelLabel,   ///< [SOURce]:CHANnel:ITU?
    Frequency,      ///< [SOURce]:FREQuency
    Wavelength,     ///< [SOURce]:WAVelength
    Power,          ///< [SOURce]:POWer[:LEVel][:IMMediate][:AMPLitude]
    Output,         ///< OUTPut[:STATe]
};

/// The parameter of a command's setting form.
enum class Param : std::uint8_t {
    None,        ///< no parameter
    Byte,        ///< 0..255 (an enable register)
    Channel,     ///< a channel, MIN, MAX, UP or DOWN
    Frequency,   ///< a frequency with HZ, GHZ or THZ, MIN or MAX
    Wavelength,  ///< a wavelength with M, NM or PM, MIN or MAX
    Power,       ///< a power with DBM, MW or W, MIN or MAX
    Boolean,     ///< ON, OFF, 1 or 0
};

/// One command of the tree.
struct CommandRow {
    const char* header;  ///< "[SOURce]:CHANnel", "*IDN"
    Op op;
    bool settable;  ///< has a setting form (no '?')
    bool query;     ///< has a query form ('?')
    Param param;    ///< the setting form's parameter
    bool limits;    ///< the query form takes MIN or MAX
};

/// Every command.
std::span<const CommandRow> CommandTable();

/// Where a chained header starts: the first `depth` nodes of row `row`'s pattern. Depth 0 is
/// the root.
struct HeaderPath {
    std::size_t row = 0;
    std::size_t depth = 0;
};

/// The outcome of a lookup.
struct HeaderLookup {
    const CommandRow* row = nullptr;  ///< null when `error` is set
    Error error = Error::None;
    HeaderPath path;  ///< the path the next chained header starts from
};

/// Largest number of nodes a header may have.
inline constexpr std::size_t kMaxHeaderNodes = 8;

/// Finds the command of a header given as its mnemonics (already split at ':', without the
/// leading ':' or the trailing '?'). `from` is the path of a relative header (root for an
/// absolute one), and the root again when nothing below `from` fits; `query` says whether the
/// header ended in '?'.
HeaderLookup FindCommand(std::span<const std::string_view> mnemonics, HeaderPath from, bool query);

}  // namespace scpi
