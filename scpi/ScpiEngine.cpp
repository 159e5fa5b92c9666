#include "ScpiEngine.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "ChannelGrid.h"
#include "ReadoutText.h"
#include "NumberText.h"

namespace scpi {
namespace {

/// A frequency this close to a grid channel names it.
constexpr double kFrequencyToleranceGHz = 1.0;
/// A wavelength this close to a grid channel's names it.
constexpr double kWavelengthToleranceNm = 0.01;
/// Rounding noise of the decimal-to-binary conversions, far below both tolerances.
constexpr double kSlack = 1e-9;
constexpr std::size_t kMaxParams = 4;
/// Longest error text, quotes included, as SCPI allows.
constexpr std::size_t kMaxErrorText = 255;

// The panel's reading of a typed number ("8.2" with two decimals is exactly 820).
std::optional<std::int64_t> ReadTypedNumber(std::string_view text, int decimals) {
    return ReadScaledDecimal(text, decimals, NumberGrammar::Typed);
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}
bool IsAlpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
bool Is(std::string_view given, std::string_view word) {
    if (given.size() != word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < given.size(); ++i) {
        if (Upper(given[i]) != word[i]) {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Where the next `separator` outside quoted strings is, from `at`; npos when none.
std::size_t FindOutsideQuotes(std::string_view text, char separator, std::size_t at) {
    char quote = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == separator) {
            return at;
        }
    }
    return std::string_view::npos;
}

// A parameter as SCPI's grammar sees it.
struct Token {
    enum Kind { Character, Number, String, Bad } kind = Bad;
    std::string_view mantissa;  // Number: sign, digits, fraction, exponent
    std::string_view unit;      // Number: the suffix after it, if any
};

Token Classify(std::string_view text) {
    Token token;
    if (text.front() == '"' || text.front() == '\'') {
        token.kind = Token::String;
        return token;
    }
    if (IsAlpha(text.front())) {
        for (const char c : text) {
            if (!IsAlpha(c) && !IsDigit(c) && c != '_') {
                return token;
            }
        }
        token.kind = Token::Character;
        return token;
    }
    std::size_t at = 0;
    if (text[at] == '+' || text[at] == '-') {
        ++at;
    }
    std::size_t digits = 0;
    for (; at < text.size() && IsDigit(text[at]); ++at) {
        ++digits;
    }
    if (at < text.size() && text[at] == '.') {
        for (++at; at < text.size() && IsDigit(text[at]); ++at) {
            ++digits;
        }
    }
    if (digits == 0) {
        return token;
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        std::size_t exponent = at + 1;
        if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) {
            ++exponent;
        }
        if (exponent < text.size() && IsDigit(text[exponent])) {
            while (exponent < text.size() && IsDigit(text[exponent])) {
                ++exponent;
            }
            at = exponent;
        }
    }
    token.mantissa = text.substr(0, at);
    token.unit = Trim(text.substr(at));
    for (const char c : token.unit) {
        if (!IsAlpha(c)) {
            return token;
        }
    }
    token.kind = Token::Number;
    return token;
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

std::optional<int> ChannelOfFrequency(double hertz) {
    const double gigahertz = hertz / 1e9;
    if (!std::isfinite(gigahertz)) {
        return std::nullopt;
    }
    const double index = (gigahertz - kGridBaseGHz) / kChannelSpacingGHz;
    if (index < kChannelMin - 1 || index > kChannelMax + 1) {
        return std::nullopt;
    }
    const int channel = static_cast<int>(std::lround(index));
    if (!InRange(Quantity::Channel, channel) ||
        std::fabs(gigahertz - ChannelFrequency(channel)) > kFrequencyToleranceGHz + kSlack) {
        return std::nullopt;
    }
    return channel;
}

double ChannelNanometres(int channel) {
    return ChannelWavelength(ChannelFrequency(channel));
}

std::optional<int> ChannelOfWavelength(double metres) {
    const double nanometres = metres * 1e9;
    if (!std::isfinite(nanometres) || nanometres <= 0) {
        return std::nullopt;
    }
    const double index = (kSpeedOfLight / nanometres - kGridBaseGHz) / kChannelSpacingGHz;
    if (index < kChannelMin - 2 || index > kChannelMax + 2) {
        return std::nullopt;
    }
    const int near = static_cast<int>(std::lround(index));
    for (int channel = near - 1; channel <= near + 1; ++channel) {
        if (InRange(Quantity::Channel, channel) &&
            std::fabs(nanometres - ChannelNanometres(channel)) <= kWavelengthToleranceNm + kSlack) {
            return channel;
        }
    }
    return std::nullopt;
}

std::string FrequencyText(int channel) {
    return std::to_string(static_cast<long long>(ChannelFrequency(channel)) * 1'000'000'000LL);
}

std::string WavelengthMetresText(int channel) {
    std::array<char, 32> text{};
    const auto result =
        std::to_chars(text.data(), text.data() + text.size(), ChannelNanometres(channel) * 1e-9,
                      std::chars_format::scientific, 8);
    std::string out(text.data(), result.ptr);
    for (char& c : out) {
        c = Upper(c);
    }
    return out;
}

// A unit and what it multiplies by, for one parameter kind.
struct Unit {
    const char* name;
    double factor;
};
constexpr Unit kFrequencyUnits[] = {{"", 1.0}, {"HZ", 1.0}, {"GHZ", 1e9}, {"THZ", 1e12}};
constexpr Unit kWavelengthUnits[] = {{"", 1.0}, {"M", 1.0}, {"NM", 1e-9}, {"PM", 1e-12}};

std::optional<double> Scale(const Token& token, std::span<const Unit> units) {
    for (const Unit& unit : units) {
        if (Is(token.unit, unit.name)) {
            return ToDouble(token.mantissa) * unit.factor;
        }
    }
    return std::nullopt;
}

}  // namespace

/// A setting's parameter, read and checked: the module value to set, or a channel step.
struct Engine::Value {
    int module = 0;
    int step = 0;  ///< CHAN UP: +1, DOWN: -1
};

namespace {

// Reads the setting parameter `text` of kind `param`; Error::None when `value` holds it.
Error ReadSetting(Param param, std::string_view text, int& value, int& step) {
    const Token token = Classify(text);
    if (token.kind == Token::Bad) {
        return Error::Syntax;
    }
    if (token.kind == Token::String) {
        return Error::DataType;
    }
    const bool isMin = token.kind == Token::Character && (Is(text, "MIN") || Is(text, "MINIMUM"));
    const bool isMax = token.kind == Token::Character && (Is(text, "MAX") || Is(text, "MAXIMUM"));
    const bool limit = isMin || isMax;
    if (token.kind == Token::Character) {
        // Character data: the limits of the ranged kinds, ON/OFF and UP/DOWN.
        if (param == Param::Boolean && (Is(text, "ON") || Is(text, "OFF"))) {
            value = Is(text, "ON") ? 1 : 0;
            return Error::None;
        }
        if (param == Param::Channel && (Is(text, "UP") || Is(text, "DOWN"))) {
            step = Is(text, "UP") ? 1 : -1;
            return Error::None;
        }
        if (!limit || param == Param::Boolean || param == Param::Byte) {
            return Error::IllegalValue;
        }
    }
    switch (param) {
        case Param::Channel:
        case Param::Frequency:
        case Param::Wavelength: {
            if (limit) {
                // The longest wavelength is the lowest channel.
                const bool lowest = param == Param::Wavelength ? isMax : isMin;
                value = lowest ? kChannelMin : kChannelMax;
                return Error::None;
            }
            std::optional<int> channel;
            if (param == Param::Channel) {
                if (!token.unit.empty()) {
                    return Error::InvalidSuffix;
                }
                const std::optional<std::int64_t> hundredths = ReadTypedNumber(token.mantissa, 2);
                if (!hundredths || *hundredths % 100 != 0) {
                    return Error::IllegalValue;
                }
                if (InRange(Quantity::Channel, static_cast<int>(std::clamp<std::int64_t>(
                                                   *hundredths / 100, -1, 1000)))) {
                    channel = static_cast<int>(*hundredths / 100);
                }
            } else {
                const std::optional<double> scaled = Scale(
                    token, param == Param::Frequency ? std::span<const Unit>(kFrequencyUnits)
                                                     : std::span<const Unit>(kWavelengthUnits));
                if (!scaled) {
                    return Error::InvalidSuffix;
                }
                channel = param == Param::Frequency ? ChannelOfFrequency(*scaled)
                                                    : ChannelOfWavelength(*scaled);
            }
            if (!channel) {
                return Error::OutOfRange;
            }
            value = *channel;
            return Error::None;
        }
        case Param::Power: {
            if (limit) {
                value = isMin ? kPowerMin : kPowerMax;
                return Error::None;
            }
            std::int64_t hundredths = 0;
            if (token.unit.empty() || Is(token.unit, "DBM")) {
                const std::optional<std::int64_t> typed = ReadTypedNumber(token.mantissa, 2);
                if (!typed) {
                    return Error::IllegalValue;
                }
                hundredths = *typed;
            } else if (Is(token.unit, "MW") || Is(token.unit, "W")) {
                const double milliwatts =
                    ToDouble(token.mantissa) * (Is(token.unit, "W") ? 1000.0 : 1.0);
                if (!(milliwatts > 0) || !std::isfinite(milliwatts)) {
                    return Error::OutOfRange;
                }
                hundredths = std::llround(std::clamp(1000.0 * std::log10(milliwatts), -1e6, 1e6));
            } else {
                return Error::InvalidSuffix;
            }
            if (hundredths < kPowerMin || hundredths > kPowerMax) {
                return Error::OutOfRange;
            }
            value = static_cast<int>(hundredths);
            return Error::None;
        }
        case Param::Boolean:
        case Param::Byte: {
            if (!token.unit.empty()) {
                return Error::InvalidSuffix;
            }
            const double number = ToDouble(token.mantissa);
            if (param == Param::Boolean) {
                if (number != 0.0 && number != 1.0) {
                    return Error::IllegalValue;
                }
                value = number == 1.0 ? 1 : 0;
                return Error::None;
            }
            if (!(number > -0.5 && number < 255.5)) {
                return Error::OutOfRange;
            }
            value = static_cast<int>(std::lround(number));
            return Error::None;
        }
        case Param::None:
            break;
    }
    return Error::ParameterNotAllowed;
}

// Whether a setting of `op` changes the module (logged, refused when read-only).
bool ChangesModule(Op op) {
    return op == Op::Reset || op == Op::Channel || op == Op::Frequency || op == Op::Wavelength ||
           op == Op::Power || op == Op::Output;
}

Quantity QuantityOf(Op op) {
    switch (op) {
        case Op::Power:
            return Quantity::Power;
        case Op::Output:
        case Op::Reset:
            return Quantity::Output;
        default:
            return Quantity::Channel;
    }
}

}  // namespace

Engine::Engine(const EngineConfig& config, EngineHost& host) : m_config(config), m_host(host) {}

void Engine::Feed(std::string_view bytes) {
    m_input.append(bytes);
    Run();
}

void Engine::Complete(const ModuleOutcome& outcome) {
    if (!m_waiting || m_outcome) {
        return;  // nothing was asked: a stray completion changes nothing
    }
    m_outcome = outcome;
    Run();
}

void Engine::Run() {
    if (m_running) {
        return;  // a completion from inside Request: the loop below picks it up
    }
    m_running = true;
    for (;;) {
        if (m_waiting) {
            if (!m_outcome) {
                break;
            }
            const ModuleOutcome outcome = std::move(*m_outcome);
            m_outcome.reset();
            m_waiting = false;
            Resume(outcome);
        } else if (m_inLine) {
            if (!RunNextUnit()) {
                EndLine();
            }
        } else if (!TakeLine()) {
            break;
        }
    }
    m_running = false;
}

bool Engine::TakeLine() {
    for (;;) {
        if (m_inputAt == m_input.size()) {
            m_input.clear();
            m_inputAt = 0;
            return false;
        }
        const std::size_t lf = m_input.find('\n', m_inputAt);
        if (lf == std::string::npos) {
            // A CR may still come before the LF, so one byte more than the limit is fine.
            if (m_discarding || m_input.size() - m_inputAt > kMaxLineBytes + 1) {
                if (!m_discarding) {
                    Fail(Error::InputOverrun);
                }
                m_discarding = true;
                m_input.clear();
                m_inputAt = 0;
            } else if (m_inputAt > 0) {
                m_input.erase(0, m_inputAt);
                m_inputAt = 0;
            }
            return false;
        }
        std::size_t length = lf - m_inputAt;
        if (length > 0 && m_input[lf - 1] == '\r') {
            --length;
        }
        const std::size_t start = m_inputAt;
        m_inputAt = lf + 1;
        if (m_discarding) {
            m_discarding = false;
            continue;
        }
        if (length > kMaxLineBytes) {
            Fail(Error::InputOverrun);
            continue;
        }
        m_line.assign(m_input, start, length);
        m_lineAt = 0;
        m_inLine = true;
        m_path = {};
        return true;
    }
}

bool Engine::RunNextUnit() {
    if (m_lineAt > m_line.size() || (m_lineAt == m_line.size() && m_lineAt != 0)) {
        return false;
    }
    const std::string_view line(m_line);
    const std::size_t semicolon = FindOutsideQuotes(line, ';', m_lineAt);
    const bool last = semicolon == std::string_view::npos;
    const std::string_view unit =
        Trim(line.substr(m_lineAt, last ? std::string_view::npos : semicolon - m_lineAt));
    m_lineAt = last ? line.size() + 1 : semicolon + 1;
    if (unit.empty()) {
        // A blank line and a trailing ';' are nothing; an empty unit between two is an error.
        if (!last) {
            Fail(Error::Syntax);
        }
        return true;
    }
    RunUnit(unit);
    return true;
}

void Engine::EndLine() {
    m_inLine = false;
    if (!m_answers.empty()) {
        m_answers += '\n';
        m_host.Answer(m_answers);
        m_answers.clear();
    }
}

void Engine::RunUnit(std::string_view unit) {
    m_unit = unit;
    std::array<std::string_view, kMaxHeaderNodes> mnemonics;
    std::size_t nodes = 0;
    std::size_t at = 0;
    const bool common = unit.front() == '*';
    const bool absolute = unit.front() == ':';
    if (common) {
        for (at = 1; at < unit.size() && IsAlpha(unit[at]);) {
            ++at;
        }
        if (at == 1) {
            Fail(Error::Syntax);
            return;
        }
        mnemonics[nodes++] = unit.substr(0, at);
    } else {
        at = absolute ? 1 : 0;
        for (;;) {
            const std::size_t start = at;
            if (at >= unit.size() || !IsAlpha(unit[at])) {
                Fail(Error::Syntax);
                return;
            }
            while (at < unit.size() &&
                   (IsAlpha(unit[at]) || IsDigit(unit[at]) || unit[at] == '_')) {
                ++at;
            }
            if (nodes == mnemonics.size()) {
                Fail(Error::UndefinedHeader);
                return;
            }
            mnemonics[nodes++] = unit.substr(start, at - start);
            if (at < unit.size() && unit[at] == ':') {
                ++at;
                continue;
            }
            break;
        }
    }
    const bool query = at < unit.size() && unit[at] == '?';
    at += query ? 1 : 0;

    std::array<std::string_view, kMaxParams> params;
    std::size_t count = 0;
    if (at < unit.size()) {
        if (!IsSpace(unit[at])) {
            Fail(Error::Syntax);
            return;
        }
        const std::string_view rest = Trim(unit.substr(at));
        for (std::size_t from = 0;;) {
            const std::size_t comma = FindOutsideQuotes(rest, ',', from);
            const std::string_view param = Trim(rest.substr(from, comma - from));
            if (param.empty()) {
                Fail(Error::Syntax);
                return;
            }
            if (count == params.size()) {
                Fail(Error::ParameterNotAllowed);
                return;
            }
            params[count++] = param;
            if (comma == std::string_view::npos) {
                break;
            }
            from = comma + 1;
        }
    }

    const HeaderLookup found =
        FindCommand({mnemonics.data(), nodes}, common || absolute ? HeaderPath{} : m_path, query);
    if (found.error != Error::None) {
        Fail(found.error);
        return;
    }
    if (!common) {
        m_path = found.path;
    }
    Execute(*found.row, query, params.data(), count);
}

void Engine::Execute(const CommandRow& row, bool query, const std::string_view* params,
                     std::size_t count) {
    if (query) {
        if (count > (row.limits ? 1u : 0u)) {
            Fail(Error::ParameterNotAllowed);
            return;
        }
        ExecuteQuery(row, params, count);
        return;
    }
    if (ChangesModule(row.op)) {
        m_host.Setting(m_unit);
        if (m_config.readOnly) {
            Fail(Error::Protected);
            return;
        }
    }
    if (row.param == Param::None) {
        if (count > 0) {
            Fail(Error::ParameterNotAllowed);
            return;
        }
        ExecuteSetting(row, {});
        return;
    }
    if (count == 0) {
        Fail(Error::MissingParameter);
        return;
    }
    if (count > 1) {
        Fail(Error::ParameterNotAllowed);
        return;
    }
    Value value;
    if (const Error error = ReadSetting(row.param, params[0], value.module, value.step);
        error != Error::None) {
        Fail(error);
        return;
    }
    ExecuteSetting(row, value);
}

void Engine::ExecuteSetting(const CommandRow& row, const Value& value) {
    switch (row.op) {
        case Op::Reset:
            AskModule({Op::Reset, true, 0}, {true, Quantity::Output, 0});
            return;
        case Op::Clear:
            m_errors.clear();
            m_esr = 0;
            return;
        case Op::EventEnable:
            m_ese = static_cast<std::uint8_t>(value.module);
            return;
        case Op::ServiceEnable:
            // Bit 6 of the service request enable register is always 0.
            m_sre = static_cast<std::uint8_t>(value.module & ~0x40);
            return;
        case Op::OperationDone:
            // Every earlier command of this connection has completed by now.
            m_esr |= kEsrOperationComplete;
            return;
        case Op::Channel:
            if (value.step != 0) {
                AskModule({Op::Channel, false, value.step}, {false, Quantity::Channel, 0});
                return;
            }
            [[fallthrough]];
        case Op::Frequency:
        case Op::Wavelength:
        case Op::Power:
        case Op::Output:
            AskModule({row.op, true, 0}, {true, QuantityOf(row.op), value.module});
            return;
        default:
            return;  // *WAI, STATus:PRESet: nothing to do or undo here
    }
}

void Engine::ExecuteQuery(const CommandRow& row, const std::string_view* params,
                          std::size_t count) {
    if (count == 1) {
        // MIN or MAX: the range itself, which needs no module.
        const bool isMin = Is(params[0], "MIN") || Is(params[0], "MINIMUM");
        if (!isMin && !Is(params[0], "MAX") && !Is(params[0], "MAXIMUM")) {
            Fail(Classify(params[0]).kind == Token::Bad ? Error::Syntax : Error::IllegalValue);
            return;
        }
        const bool lowChannel = row.op == Op::Wavelength ? !isMin : isMin;
        const int channel = lowChannel ? kChannelMin : kChannelMax;
        switch (row.op) {
            case Op::Channel:
                AddAnswer(std::to_string(channel));
                break;
            case Op::Frequency:
                AddAnswer(FrequencyText(channel));
                break;
            case Op::Wavelength:
                AddAnswer(WavelengthMetresText(channel));
                break;
            default:
                AddAnswer(PowerText(isMin ? kPowerMin : kPowerMax));
                break;
        }
        return;
    }
    switch (row.op) {
        case Op::Identify:
            AddAnswer(m_config.identity);
            return;
        case Op::EventEnable:
            AddAnswer(std::to_string(m_ese));
            return;
        case Op::ServiceEnable:
            AddAnswer(std::to_string(m_sre));
            return;
        case Op::EventStatus:
            AddAnswer(std::to_string(m_esr));
            m_esr = 0;
            return;
        case Op::OperationDone:
            AddAnswer("1");
            return;
        case Op::StatusByte:
            AddAnswer(std::to_string(StatusByte()));
            return;
        case Op::ErrorNext:
            if (m_errors.empty()) {
                AddAnswer("0,\"No error\"");
            } else {
                AddAnswer(m_errors.front());
                m_errors.pop_front();
            }
            return;
        case Op::ErrorCount:
            AddAnswer(std::to_string(m_errors.size()));
            return;
        case Op::Version:
            AddAnswer("1999.0");
            return;
        case Op::Operation:
        case Op::Questionable:
            AddAnswer("0");
            return;
        case Op::SelfTest:
        case Op::Channel:
        case Op::ChannelLabel:
        case Op::Frequency:
        case Op::Wavelength:
        case Op::Power:
        case Op::Output:
            AskModule({row.op, false, 0}, {false, QuantityOf(row.op), 0});
            return;
        default:
            return;
    }
}

void Engine::AskModule(Pending pending, const ModuleRequest& request) {
    m_pending = pending;
    m_waiting = true;
    m_outcome.reset();
    m_host.Request(request);
}

void Engine::Resume(const ModuleOutcome& outcome) {
    const Pending pending = m_pending;
    if (outcome.status != ModuleStatus::Ok) {
        if (pending.op == Op::SelfTest) {
            AddAnswer("1");
            return;
        }
        std::string detail(m_unit.substr(0, 40));
        detail += ": ";
        detail += outcome.detail;
        Fail(outcome.status == ModuleStatus::PortLost ? Error::HardwareMissing : Error::Hardware,
             detail);
        return;
    }
    if (pending.isSet) {
        return;
    }
    const int value = outcome.value;
    if (pending.step != 0) {
        const int target = value + pending.step;
        if (!InRange(Quantity::Channel, target)) {
            Fail(Error::OutOfRange, "channel " + std::to_string(value) + " is at the end");
            return;
        }
        AskModule({Op::Channel, true, 0}, {true, Quantity::Channel, target});
        return;
    }
    switch (pending.op) {
        case Op::SelfTest:
            AddAnswer("0");
            break;
        case Op::ChannelLabel:
            AddAnswer("\"" + std::string(ItuChannelLabel(value).data()) + "\"");
            break;
        case Op::Frequency:
            AddAnswer(FrequencyText(value));
            break;
        case Op::Wavelength:
            AddAnswer(WavelengthMetresText(value));
            break;
        case Op::Power:
            AddAnswer(PowerText(value));
            break;
        default:
            AddAnswer(std::to_string(value));  // channel, output 1 or 0
            break;
    }
}

void Engine::AddAnswer(std::string_view text) {
    if (!m_answers.empty()) {
        m_answers += ';';
    }
    m_answers += text;
}

void Engine::Fail(Error error, std::string_view detail) {
    m_esr |= EsrBitOf(error);
    m_lineAt = m_line.size() + 1;  // the rest of the line is not run
    if (m_errors.size() >= kErrorQueueDepth) {
        m_errors.back() = std::to_string(static_cast<int>(Error::QueueOverflow)) + ",\"" +
                          ErrorText(Error::QueueOverflow) + "\"";
        return;
    }
    std::string entry = std::to_string(static_cast<int>(error)) + ",\"" + ErrorText(error);
    if (!detail.empty()) {
        entry += ';';
        // Inside a quoted string: quotes doubled, control bytes and non-ASCII shown as '?'.
        for (const char c : detail) {
            if (entry.size() >= kMaxErrorText - 2) {
                break;
            }
            if (c == '"') {
                entry += "\"\"";
            } else {
                entry += c >= ' ' && c <= '~' ? c : '?';
            }
        }
    }
    entry += '"';
    m_errors.push_back(std::move(entry));
}

int Engine::StatusByte() const {
    int status = 0;
    if (!m_errors.empty()) {
        status |= 0x04;  // error/event queue not empty
    }
    if (!m_answers.empty()) {
        status |= 0x10;  // message available
    }
    if ((m_esr & m_ese) != 0) {
        status |= 0x20;  // event status summary
    }
    if ((status & m_sre) != 0) {
        status |= 0x40;  // master summary status
    }
    return status;
}

}  // namespace scpi
