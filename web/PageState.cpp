#include "PageState.h"

#include <utility>

#include <nlohmann/json.hpp>

#include "ChannelGrid.h"
#include "ModuleQuantity.h"
#include "ReadoutText.h"

namespace web {

namespace {

std::optional<int>* Slot(ModuleView& view, Quantity quantity) {
    switch (quantity) {
        case Quantity::Channel:
            return &view.channel;
        case Quantity::Power:
            return &view.power;
        case Quantity::Output:
            return nullptr;
    }
    return nullptr;
}

// Sets `quantity` to what the module said (empty: unknown); true when that changed it.
bool Put(ModuleView& view, Quantity quantity, std::optional<int> value) {
    if (quantity == Quantity::Output) {
        const std::optional<bool> on =
            value ? std::optional<bool>(*value != 0) : std::optional<bool>();
        return std::exchange(view.output, on) != on;
    }
    std::optional<int>* slot = Slot(view, quantity);
    return std::exchange(*slot, value) != value;
}

}  // namespace

void PageState::Observe(const ModuleRequest& request, const ExchangeResult& result) {
    ModuleView next = m_view;
    switch (result.status) {
        case ExchangeStatus::Ok:
        case ExchangeStatus::Mismatch:  // a reply all the same: the value it reports holds
            next.present = true;
            Put(next, request.quantity, result.value);
            next.problem.clear();
            break;
        case ExchangeStatus::NoReply:
            Put(next, request.quantity, std::nullopt);
            next.problem = DescribeExchangeFailure(request, result);
            break;
        case ExchangeStatus::PortLost:
            next = ModuleView{false, {}, {}, {}, "no module: " + result.detail, m_view.version};
            break;
        case ExchangeStatus::Interrupted:
            return;
    }
    if (next.present != m_view.present || next.channel != m_view.channel ||
        next.power != m_view.power || next.output != m_view.output ||
        next.problem != m_view.problem) {
        ++next.version;
        m_view = std::move(next);
    }
}

nlohmann::json StateDocument(const ModuleView& view, const PageFacts& facts) {
    nlohmann::json state = {
        {"manufacturer", facts.identity.manufacturer},
        {"model", facts.identity.model},
        {"serial", facts.identity.serial},
        {"firmware", facts.identity.firmware},
        {"visa", facts.visa},
        {"port", facts.port},
        {"route", facts.route},
        {"readOnly", facts.readOnly},
        {"module", view.present},
        {"channel", nullptr},
        {"power", nullptr},
        {"output", nullptr},
        {"problem", view.problem},
        {"version", view.version},
        // The settings' ranges as the module's protocol has them: the page keeps no copy.
        {"ranges",
         {{"channel", {{"min", kChannelMin}, {"max", kChannelMax}}},
          {"power", {{"min", PowerText(kPowerMin)}, {"max", PowerText(kPowerMax)}}}}},
    };
    if (view.channel) {
        const int channel = *view.channel;
        state["channel"] = {{"number", channel},
                            {"itu", ItuChannelLabel(channel).data()},
                            {"frequencyGHz", ChannelFrequency(channel)},
                            {"wavelengthNm", WavelengthText(channel)}};
    }
    if (view.power) {
        state["power"] = PowerText(*view.power);
    }
    if (view.output) {
        state["output"] = *view.output;
    }
    return state;
}

}  // namespace web
