#include "ControlProtocol.h"

#include <nlohmann/json.hpp>
#include <optional>

#include "NumberText.h"

namespace {

using Json = nlohmann::json;

constexpr char kAll[] = "all";

bool QuantityFromName(const std::string& name, std::optional<Quantity>& quantity) {
    quantity = QuantityNamed(name);
    return quantity || name == kAll;
}

// A channel or power from a script: one number in the scripts' grammar, as varnel-ctl reads
// it, and short enough for the entry field; the panel's typed entry then clamps it.
bool IsEntryText(const std::string& text, const std::optional<Quantity>& quantity) {
    return quantity && text.size() <= 16 &&
           ReadQuantityText(*quantity, text, NumberGrammar::Strict).has_value();
}

// The set's value: a JSON number or string for channel and power, "on"/"off" or a boolean
// for the output.
bool ReadSetValue(const Json& value, ControlRequest& request, std::string& error) {
    if (request.quantity == Quantity::Output) {
        if (value.is_boolean()) {
            request.text = value.get<bool>() ? "on" : "off";
            return true;
        }
        if (value.is_string() && (value == "on" || value == "off")) {
            request.text = value.get<std::string>();
            return true;
        }
        error = "the output is set \"on\" or \"off\"";
        return false;
    }
    if (value.is_number_integer()) {
        request.text = std::to_string(value.get<long long>());
    } else if (value.is_number_float()) {
        error = "give a fractional value as text, as typed: \"8.2\"";
        return false;
    } else if (value.is_string()) {
        request.text = value.get<std::string>();
    }
    if (!IsEntryText(request.text, request.quantity)) {
        error = "the value is not a number";
        return false;
    }
    return true;
}

bool Validate(const Json& json, ControlRequest& request, std::string& error) {
    if (!json.is_object()) {
        error = "a request is a JSON object";
        return false;
    }
    const auto version = json.find("v");
    if (version == json.end() || !version->is_number_integer() || *version != kControlVersion) {
        error = "the request needs \"v\": " + std::to_string(kControlVersion);
        return false;
    }
    const auto command = json.find("cmd");
    if (command == json.end() || !command->is_string()) {
        error = "the request needs \"cmd\": \"hello\", \"get\" or \"set\"";
        return false;
    }
    const std::string name = command->get<std::string>();
    const char* allowed[3] = {"v", "cmd", nullptr};
    if (name == "hello") {
        request.command = ControlCommand::Hello;
    } else if (name == "get") {
        request.command = ControlCommand::Get;
    } else if (name == "set") {
        request.command = ControlCommand::Set;
    } else {
        error = "unknown command";
        return false;
    }
    for (const auto& [key, value] : json.items()) {
        const bool known =
            key == allowed[0] || key == allowed[1] ||
            (request.command == ControlCommand::Get && (key == "what" || key == "fresh")) ||
            (request.command == ControlCommand::Set && (key == "what" || key == "value"));
        if (!known) {
            error = "unknown field for " + name;
            return false;
        }
    }
    if (request.command == ControlCommand::Hello) {
        return true;
    }
    const auto what = json.find("what");
    if (what != json.end() &&
        (!what->is_string() || !QuantityFromName(what->get<std::string>(), request.quantity))) {
        error = "\"what\" is channel, power or output";
        return false;
    }
    if (request.command == ControlCommand::Get) {
        const auto fresh = json.find("fresh");
        if (fresh != json.end() && !fresh->is_boolean()) {
            error = "\"fresh\" is true or false";
            return false;
        }
        request.fresh = fresh != json.end() && fresh->get<bool>();
        return true;
    }
    if (!request.quantity) {
        error = "set needs \"what\": channel, power or output";
        return false;
    }
    const auto value = json.find("value");
    if (value == json.end()) {
        error = "set needs \"value\"";
        return false;
    }
    return ReadSetValue(*value, request, error);
}

}  // namespace

bool ParseControlRequest(std::string_view line, ControlRequest& request, std::string& error) {
    request = {};
    if (line.size() > kMaxControlLine) {
        error = "the request is longer than " + std::to_string(kMaxControlLine) + " bytes";
        return false;
    }
    // No exceptions: a parse error gives a discarded value; invalid UTF-8 is one too.
    const Json json = Json::parse(line.begin(), line.end(), nullptr, false);
    if (json.is_discarded()) {
        error = "the request is not JSON";
        return false;
    }
    return Validate(json, request, error);
}

std::string FormatControlRequest(const ControlRequest& request) {
    Json json = {{"v", kControlVersion}};
    switch (request.command) {
        case ControlCommand::Hello:
            json["cmd"] = "hello";
            break;
        case ControlCommand::Get:
            json["cmd"] = "get";
            json["what"] = request.quantity ? QuantityName(*request.quantity) : kAll;
            json["fresh"] = request.fresh;
            break;
        case ControlCommand::Set:
            json["cmd"] = "set";
            json["what"] = QuantityName(request.quantity.value_or(Quantity::Channel));
            json["value"] = request.text;
            break;
    }
    return json.dump();
}

std::string FormatControlError(const std::string& code, const std::string& message) {
    return Json{{"v", kControlVersion}, {"ok", false}, {"error", code}, {"message", message}}.dump(
        -1, ' ', false, Json::error_handler_t::replace);
}
