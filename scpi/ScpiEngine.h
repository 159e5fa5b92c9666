// One SCPI connection's engine: bytes in, answers out through the host, and module operations
// out as requests that the host completes later. It never blocks and does no I/O, so a slow
// module holds up only this connection's later commands (that is what *OPC? and *WAI wait
// for), while the host keeps serving the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ModuleQuantity.h"
#include "ModuleSession.h"
#include "ScpiCommands.h"
#include "ScpiErrors.h"
#include "ScpiStatus.h"

namespace scpi {

/// What the engine needs from its connection.
class EngineHost {
public:
    virtual ~EngineHost() = default;
    /// One response message, ending in LF: send it in one write.
    virtual void Answer(std::string_view message) = 0;
    /// Start `request`; call Engine::Complete with its outcome when it ends (may be at once).
    virtual void Request(const ModuleRequest& request) = 0;
    /// A setting is about to run (or be refused): `command` as the client sent it, for the log.
    virtual void Setting(std::string_view command) = 0;
};

/// What every connection of one server shares.
struct EngineConfig {
    std::string identity;   ///< the *IDN? answer: "Varnel,<model>,<serial>,<version>"
    bool readOnly = false;  ///< settings and *RST give -203 and send nothing
};

/// Longest line taken; a longer one gives -363 and is discarded up to the next LF.
inline constexpr std::size_t kMaxLineBytes = 4096;

/// The engine of one connection.
class Engine {
public:
    Engine(const EngineConfig& config, EngineHost& host);
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    /// Takes bytes from the client and runs every complete line, up to the first that waits
    /// for the module; the rest waits in order behind it.
    void Feed(std::string_view bytes);
    /// Ends the outstanding module request and runs what waited behind it.
    void Complete(const ExchangeResult& result);
    /// True while a module request is outstanding.
    bool Waiting() const { return m_waiting; }
    /// Bytes taken but not run yet (a partial line, or lines behind a module request).
    std::size_t Buffered() const { return m_input.size() - m_inputAt; }
    /// Errors in the queue.
    std::size_t ErrorCount() const { return m_status.ErrorCount(); }
    /// The status byte without message-available: the transport knows what it holds unsent.
    std::uint8_t StatusByte() const { return m_status.StatusByte(false); }
    /// A device clear: unfinished input, the line being run and the request outstanding are
    /// dropped; the error queue and the registers stay. The dropped request still ends through
    /// Complete (the host need not take it back), and that outcome is ignored.
    void Clear();

private:
    /// What a module request was for.
    struct Pending {
        Op op = Op::Channel;
        bool isSet = false;
        int step = 0;  ///< CHAN UP/DOWN: +1/-1 while reading the channel first
    };

    void Run();
    bool TakeLine();
    bool RunNextUnit();
    void EndLine();
    void RunUnit(std::string_view text);
    void ExecuteSetting(const CommandRow& row, const std::string_view* params, std::size_t count);
    void ExecuteQuery(const CommandRow& row, const std::string_view* params, std::size_t count);
    void AskModule(Pending pending, const ModuleRequest& request);
    void Resume(const ExchangeResult& result);
    void AddAnswer(std::string_view text);
    void Fail(Error error, std::string_view detail = {});

    EngineConfig m_config;
    EngineHost& m_host;

    std::string m_input;  // bytes taken; m_inputAt is where the next line starts
    std::size_t m_inputAt = 0;
    bool m_discarding = false;  // the rest of an overlong line is dropped up to its LF

    std::string m_line;  // the line being run; m_lineAt is where its next unit starts
    std::size_t m_lineAt = 0;
    bool m_inLine = false;
    std::string_view m_unit;  // the unit being run (in m_line), for the log and error texts
    std::string m_answers;    // the line's answers so far, joined by ';'
    HeaderPath m_path;        // where a chained header starts

    bool m_running = false;  // inside Run: Complete from Request only stores the outcome
    bool m_waiting = false;
    std::size_t m_abandoned = 0;  // requests dropped by Clear whose outcomes are still to come
    Pending m_pending;
    std::optional<ExchangeResult> m_outcome;
    ModuleRequest m_request;  // the one asked for, to describe its failure

    StatusUnit m_status;
};

}  // namespace scpi
