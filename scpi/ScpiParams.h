// The parameter table: for each kind of setting parameter, the units it takes (with what they
// multiply by) and the special words of character data it takes (MIN, MAX, UP, DOWN, ON, OFF),
// as data beside the command tree; and the reading of a parameter's token into the module's
// value by that table.
#pragma once

#include <cstdint>
#include <string_view>

#include "ScpiCommands.h"
#include "ScpiErrors.h"

namespace scpi {

/// A setting's parameter, read and checked.
struct ParamValue {
    int module = 0;  ///< the value to set: a channel, hundredths of a dBm, 0/1, a byte
    int step = 0;    ///< CHAN UP: +1, DOWN: -1 (then `module` is unused)
};

/// Reads the setting parameter `text` (trimmed, non-empty) of kind `param`; Error::None when
/// `value` holds it, else the error the client gets.
Error ReadSetting(Param param, std::string_view text, ParamValue& value);

/// Reads a query's parameter, which may only be MIN or MAX (either form); Error::None when
/// `isMax` says which.
Error ReadLimit(std::string_view text, bool& isMax);

/// The module value that MIN or MAX means for `param` (a ranged kind): the longest wavelength
/// is the lowest channel.
int LimitValue(Param param, bool isMax);

}  // namespace scpi
