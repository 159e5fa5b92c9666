// What the page shows of the module: only what the module reported, each quantity from its
// latest reply to any client of the server (the page's own reads, SCPI, VXI-11), with "no
// module" while the port is gone; and the JSON the page reads it from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Identification.h"
#include "ModuleSession.h"

namespace web {

/// The module as last reported. A quantity is empty until the module reported it, and again
/// after an exchange about it failed (it may have changed meanwhile).
struct ModuleView {
    bool present = true;  ///< false: the port is gone
    std::optional<int> channel;
    std::optional<int> power;  ///< hundredths of a dBm
    std::optional<bool> output;
    std::string problem;        ///< why something is empty; "" when all is well
    std::uint64_t version = 1;  ///< grows with every change of the above
};

class PageState {
public:
    /// Takes what `request` of any client came back with.
    void Observe(const ModuleRequest& request, const ExchangeResult& result);
    const ModuleView& View() const { return m_view; }

private:
    ModuleView m_view;
};

/// What the page is told beside the module's state.
struct PageFacts {
    IdentityFields identity;
    std::vector<std::string> visa;
    std::string port;   ///< the port's label
    std::string route;  ///< "direct", or through the panel
    bool readOnly = false;
};

/// The state document of GET /api/state (its shape is the page's).
nlohmann::json StateDocument(const ModuleView& view, const PageFacts& facts);

}  // namespace web
