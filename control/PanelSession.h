// The module through a running panel: its control socket carries each get and set, and the
// panel shows every step as the module reports it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "ModuleSession.h"
#include "PortTarget.h"

class StopCheck;

/// A running panel as its control socket describes it.
struct PanelInfo {
    std::string socket;  ///< the socket's path
    long pid = 0;
    std::string port;    ///< "COM5"
    std::string device;  ///< the device the port resolved to, links followed
    bool synced = false;
};

/// The panels of this user that answer on their control socket, in the folder's order.
std::vector<PanelInfo> ListPanels();

/// The panel that holds `target`, matched by its device (links followed); false when none.
bool FindPanelFor(const PortTarget& target, PanelInfo& panel);

/// Reads a panel's answer to hello into `panel` (its `socket` given); false for anything that
/// is not one. Never throws, whatever the line holds.
bool ReadHelloAnswer(const std::string& line, const std::string& socket, PanelInfo& panel);

/// Reads the answer to a get or set: Ok with the value of `quantity` in `field` (in range), the
/// panel's error as a failed exchange, NoReply with `missing` when the panel has no value, or
/// NoReply "the panel answered something unreadable". Never throws.
ExchangeResult ReadPanelAnswer(const std::string& line, const char* field, Quantity quantity,
                               const char* missing);

/// A ModuleSession over a panel's control socket.
class PanelSession : public ModuleSession {
public:
    /// How long an answer may take beyond the panel's own bounded wait for the module.
    static constexpr int kAnswerWaitMs = 5000;

    /// `fresh`: gets have the panel query the module first.
    PanelSession(StopCheck* stop, bool fresh);
    ~PanelSession() override;
    PanelSession(const PanelSession&) = delete;
    PanelSession& operator=(const PanelSession&) = delete;

    /// Connects to the panel's socket; false with the reason in `error`.
    bool Connect(const PanelInfo& panel, std::string& error);

    ExchangeResult Get(Quantity quantity) override;
    ExchangeResult Set(Quantity quantity, int value) override;

private:
    /// Sends one request line and reads its answer; the answer's JSON text in `answer`.
    ExchangeResult Ask(const std::string& request, std::string& answer);
    /// Asks `request` and reads the answer's `field` as a value of `quantity` (ReadPanelAnswer).
    ExchangeResult AskForNumber(const std::string& request, Quantity quantity, const char* field,
                                const char* missing);

    StopCheck* m_stop;
    bool m_fresh;
    int m_fd = -1;
    std::string m_in;
};
