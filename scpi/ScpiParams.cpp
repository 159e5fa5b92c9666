#include "ScpiParams.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <span>

#include "AsciiCase.h"
#include "ChannelGrid.h"
#include "GridInverse.h"
#include "NumberText.h"
#include "ScpiLexer.h"

namespace scpi {
namespace {

/// A special word of character data.
enum class Word : std::uint8_t { Min, Max, Up, Down, On, Off };

struct WordRow {
    const char* shortForm;
    const char* longForm;
    Word word;
};

constexpr WordRow kWords[] = {
    {"MIN", "MINIMUM", Word::Min}, {"MAX", "MAXIMUM", Word::Max}, {"UP", "UP", Word::Up},
    {"DOWN", "DOWN", Word::Down},  {"ON", "ON", Word::On},        {"OFF", "OFF", Word::Off},
};

constexpr std::uint8_t Bit(Word word) {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(word));
}
constexpr std::uint8_t kLimits = Bit(Word::Min) | Bit(Word::Max);

/// How a number with a unit becomes the module's value.
enum class Reading : std::uint8_t {
    Typed,       ///< as the panel reads a typed number, in hundredths (channel, dBm)
    Milliwatts,  ///< milliwatts times the factor, into hundredths of a dBm
    Hertz,       ///< hertz times the factor, to the grid channel within tolerance
    Metres,      ///< metres times the factor, to the grid channel within tolerance
    Plain,       ///< the number itself (0/1, a byte)
};

struct Unit {
    const char* name;  ///< "" for a bare number
    double factor;
    Reading reading;
};

constexpr Unit kChannelUnits[] = {{"", 1.0, Reading::Typed}};
constexpr Unit kFrequencyUnits[] = {{"", 1.0, Reading::Hertz},
                                    {"HZ", 1.0, Reading::Hertz},
                                    {"GHZ", 1e9, Reading::Hertz},
                                    {"THZ", 1e12, Reading::Hertz}};
constexpr Unit kWavelengthUnits[] = {{"", 1.0, Reading::Metres},
                                     {"M", 1.0, Reading::Metres},
                                     {"NM", 1e-9, Reading::Metres},
                                     {"PM", 1e-12, Reading::Metres}};
constexpr Unit kPowerUnits[] = {{"", 1.0, Reading::Typed},
                                {"DBM", 1.0, Reading::Typed},
                                {"MW", 1.0, Reading::Milliwatts},
                                {"W", 1000.0, Reading::Milliwatts}};
constexpr Unit kPlainUnits[] = {{"", 1.0, Reading::Plain}};

struct ParamRow {
    Param param;
    std::span<const Unit> units;
    std::uint8_t words;  ///< the special words it takes, one bit per Word
};

constexpr ParamRow kParams[] = {
    {Param::Byte, kPlainUnits, 0},
    {Param::Channel, kChannelUnits, kLimits | Bit(Word::Up) | Bit(Word::Down)},
    {Param::Frequency, kFrequencyUnits, kLimits},
    {Param::Wavelength, kWavelengthUnits, kLimits},
    {Param::Power, kPowerUnits, kLimits},
    {Param::Boolean, kPlainUnits, Bit(Word::On) | Bit(Word::Off)},
};

std::optional<Word> WordOf(std::string_view text) {
    for (const WordRow& row : kWords) {
        if (SameIgnoringCase(text, row.shortForm) || SameIgnoringCase(text, row.longForm)) {
            return row.word;
        }
    }
    return std::nullopt;
}

// The mantissa as a double; infinite when it does not fit one.
double ToDouble(std::string_view mantissa) {
    if (!mantissa.empty() && mantissa.front() == '+') {
        mantissa.remove_prefix(1);
    }
    double value = 0;
    const auto [end, error] = std::from_chars(mantissa.data(), mantissa.data() + mantissa.size(),
                                              value, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        return mantissa.front() == '-' ? -HUGE_VAL : HUGE_VAL;
    }
    return error == std::errc() ? value : NAN;
}

Error ReadWord(Param param, Word word, ParamValue& value) {
    switch (word) {
        case Word::On:
        case Word::Off:
            value.module = word == Word::On ? 1 : 0;
            return Error::None;
        case Word::Up:
        case Word::Down:
            value.step = word == Word::Up ? 1 : -1;
            return Error::None;
        default:
            value.module = LimitValue(param, word == Word::Max);
            return Error::None;
    }
}

// A number in `unit`, checked against `param`'s range.
Error ReadNumber(Param param, const Unit& unit, std::string_view mantissa, ParamValue& value) {
    std::optional<int> channel;
    switch (unit.reading) {
        case Reading::Typed: {
            const std::optional<std::int64_t> hundredths =
                ReadScaledDecimal(mantissa, 2, NumberGrammar::Typed);
            if (param == Param::Power) {
                if (!hundredths) {
                    return Error::IllegalValue;
                }
                if (*hundredths < kPowerMin || *hundredths > kPowerMax) {
                    return Error::OutOfRange;
                }
                value.module = static_cast<int>(*hundredths);
                return Error::None;
            }
            if (!hundredths || *hundredths % 100 != 0) {
                return Error::IllegalValue;
            }
            const auto whole =
                static_cast<int>(std::clamp<std::int64_t>(*hundredths / 100, -1, 1000));
            if (InRange(Quantity::Channel, whole)) {
                channel = whole;
            }
            break;
        }
        case Reading::Milliwatts: {
            const double milliwatts = ToDouble(mantissa) * unit.factor;
            if (!(milliwatts > 0) || !std::isfinite(milliwatts)) {
                return Error::OutOfRange;
            }
            const std::int64_t hundredths =
                std::llround(std::clamp(1000.0 * std::log10(milliwatts), -1e6, 1e6));
            if (hundredths < kPowerMin || hundredths > kPowerMax) {
                return Error::OutOfRange;
            }
            value.module = static_cast<int>(hundredths);
            return Error::None;
        }
        case Reading::Hertz:
            channel = ChannelOfFrequency(ToDouble(mantissa) * unit.factor);
            break;
        case Reading::Metres:
            channel = ChannelOfWavelength(ToDouble(mantissa) * unit.factor);
            break;
        case Reading::Plain: {
            const double number = ToDouble(mantissa);
            if (param == Param::Boolean) {
                if (number != 0.0 && number != 1.0) {
                    return Error::IllegalValue;
                }
                value.module = number == 1.0 ? 1 : 0;
                return Error::None;
            }
            if (!(number > -0.5 && number < 255.5)) {
                return Error::OutOfRange;
            }
            value.module = static_cast<int>(std::lround(number));
            return Error::None;
        }
    }
    if (!channel) {
        return Error::OutOfRange;
    }
    value.module = *channel;
    return Error::None;
}

}  // namespace

Error ReadSetting(Param param, std::string_view text, ParamValue& value) {
    const auto row = std::find_if(std::begin(kParams), std::end(kParams),
                                  [param](const ParamRow& r) { return r.param == param; });
    if (row == std::end(kParams)) {
        return Error::ParameterNotAllowed;
    }
    const Token token = Classify(text);
    switch (token.kind) {
        case Token::Bad:
            return Error::Syntax;
        case Token::String:
            return Error::DataType;
        case Token::Character: {
            const std::optional<Word> word = WordOf(text);
            if (!word || (row->words & Bit(*word)) == 0) {
                return Error::IllegalValue;
            }
            return ReadWord(param, *word, value);
        }
        case Token::Number:
            break;
    }
    for (const Unit& unit : row->units) {
        if (SameIgnoringCase(token.unit, unit.name)) {
            return ReadNumber(param, unit, token.mantissa, value);
        }
    }
    return Error::InvalidSuffix;
}

Error ReadLimit(std::string_view text, bool& isMax) {
    const std::optional<Word> word = WordOf(text);
    if (word == Word::Min || word == Word::Max) {
        isMax = word == Word::Max;
        return Error::None;
    }
    return Classify(text).kind == Token::Bad ? Error::Syntax : Error::IllegalValue;
}

int LimitValue(Param param, bool isMax) {
    if (param == Param::Power) {
        return isMax ? kPowerMax : kPowerMin;
    }
    // The longest wavelength is the lowest channel.
    const bool lowest = param == Param::Wavelength ? isMax : !isMax;
    return lowest ? kChannelMin : kChannelMax;
}

}  // namespace scpi
