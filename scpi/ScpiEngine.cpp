#include "ScpiEngine.h"

#include <string>

#include "ChannelGrid.h"
#include "GridInverse.h"
#include "ReadoutText.h"
#include "ScpiLexer.h"
#include "ScpiParams.h"

namespace scpi {
namespace {

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

// The answer to a query of `op` whose module value is `value`.
std::string ValueText(Op op, int value) {
    switch (op) {
        case Op::ChannelLabel:
            return "\"" + std::string(ItuChannelLabel(value).data()) + "\"";
        case Op::Frequency:
            return FrequencyHertzText(value);
        case Op::Wavelength:
            return WavelengthMetresText(value);
        case Op::Power:
            return PowerText(value);
        default:
            return std::to_string(value);  // channel, output 1 or 0
    }
}

}  // namespace

Engine::Engine(const EngineConfig& config, EngineHost& host) : m_config(config), m_host(host) {}

void Engine::Feed(std::string_view bytes) {
    m_input.append(bytes);
    Run();
}

void Engine::Clear() {
    if (m_waiting && !m_outcome) {
        ++m_abandoned;
    }
    m_waiting = false;
    m_outcome.reset();
    m_input.clear();
    m_inputAt = 0;
    m_discarding = false;
    m_line.clear();
    m_lineAt = 0;
    m_inLine = false;
    m_answers.clear();
}

void Engine::Complete(const ExchangeResult& result) {
    if (m_abandoned > 0) {
        --m_abandoned;  // the outcome of a request a device clear dropped
        return;
    }
    if (!m_waiting || m_outcome) {
        return;  // nothing was asked: a stray completion changes nothing
    }
    m_outcome = result;
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
            const ExchangeResult outcome = std::move(*m_outcome);
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
    const UnitSlice slice = NextUnit(m_line, m_lineAt);
    if (slice.end) {
        return false;
    }
    if (slice.error != Error::None) {
        Fail(slice.error);
    } else if (!slice.text.empty()) {
        RunUnit(slice.text);
    }
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

void Engine::RunUnit(std::string_view text) {
    m_unit = text;
    ProgramUnit unit;
    if (const Error error = LexUnit(text, unit); error != Error::None) {
        Fail(error);
        return;
    }
    const HeaderLookup found =
        FindCommand({unit.mnemonics.data(), unit.nodes},
                    unit.common || unit.absolute ? HeaderPath{} : m_path, unit.query);
    if (found.error != Error::None) {
        Fail(found.error);
        return;
    }
    if (!unit.common) {
        m_path = found.path;
    }
    if (unit.query) {
        ExecuteQuery(*found.row, unit.params.data(), unit.count);
    } else {
        ExecuteSetting(*found.row, unit.params.data(), unit.count);
    }
}

void Engine::ExecuteSetting(const CommandRow& row, const std::string_view* params,
                            std::size_t count) {
    if (ChangesModule(row.op)) {
        m_host.Setting(m_unit);
        if (m_config.readOnly) {
            Fail(Error::Protected);
            return;
        }
    }
    ParamValue value;
    if (row.param == Param::None) {
        if (count > 0) {
            Fail(Error::ParameterNotAllowed);
            return;
        }
    } else if (count != 1) {
        Fail(count == 0 ? Error::MissingParameter : Error::ParameterNotAllowed);
        return;
    } else if (const Error error = ReadSetting(row.param, params[0], value); error != Error::None) {
        Fail(error);
        return;
    }
    switch (row.op) {
        case Op::Reset:
            AskModule({Op::Reset, true, 0}, {true, Quantity::Output, 0});
            return;
        case Op::Clear:
            m_status.Clear();
            return;
        case Op::EventEnable:
            m_status.SetEventEnable(value.module);
            return;
        case Op::ServiceEnable:
            m_status.SetServiceEnable(value.module);
            return;
        case Op::OperationDone:
            // Every earlier command of this connection has completed by now.
            m_status.OperationComplete();
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
    if (count > (row.limits ? 1u : 0u)) {
        Fail(Error::ParameterNotAllowed);
        return;
    }
    if (count == 1) {
        // MIN or MAX: the range itself, which needs no module.
        bool isMax = false;
        if (const Error error = ReadLimit(params[0], isMax); error != Error::None) {
            Fail(error);
            return;
        }
        AddAnswer(ValueText(row.op, LimitValue(row.param, isMax)));
        return;
    }
    switch (row.op) {
        case Op::Identify:
            AddAnswer(m_config.identity);
            return;
        case Op::EventEnable:
            AddAnswer(std::to_string(m_status.EventEnable()));
            return;
        case Op::ServiceEnable:
            AddAnswer(std::to_string(m_status.ServiceEnable()));
            return;
        case Op::EventStatus:
            AddAnswer(std::to_string(m_status.TakeEventStatus()));
            return;
        case Op::OperationDone:
            AddAnswer("1");
            return;
        case Op::StatusByte:
            AddAnswer(std::to_string(m_status.StatusByte(!m_answers.empty())));
            return;
        case Op::ErrorNext:
            AddAnswer(m_status.TakeError());
            return;
        case Op::ErrorCount:
            AddAnswer(std::to_string(m_status.ErrorCount()));
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
    m_request = request;
    m_waiting = true;
    m_outcome.reset();
    m_host.Request(request);
}

void Engine::Resume(const ExchangeResult& outcome) {
    const Pending pending = m_pending;
    if (outcome.status != ExchangeStatus::Ok) {
        if (pending.op == Op::SelfTest) {
            AddAnswer("1");
            return;
        }
        std::string detail(m_unit.substr(0, 40));
        detail += ": ";
        detail += DescribeExchangeFailure(m_request, outcome);
        Fail(outcome.status == ExchangeStatus::PortLost ? Error::HardwareMissing : Error::Hardware,
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
    AddAnswer(pending.op == Op::SelfTest ? "0" : ValueText(pending.op, value));
}

void Engine::AddAnswer(std::string_view text) {
    if (!m_answers.empty()) {
        m_answers += ';';
    }
    m_answers += text;
}

void Engine::Fail(Error error, std::string_view detail) {
    m_status.Report(error, detail);
    m_lineAt = m_line.size() + 1;  // the rest of the line is not run
}

}  // namespace scpi
