#include "PortArgument.h"

#include <charconv>

#include "PortNames.h"

namespace {

bool IsComName(std::string_view text) {
    return text.size() > 3 && (text[0] == 'C' || text[0] == 'c') &&
           (text[1] == 'O' || text[1] == 'o') && (text[2] == 'M' || text[2] == 'm');
}

}  // namespace

std::string ParsePortTarget(std::string_view text, PortTarget& target) {
    target = {};
    target.label = std::string(text);
    if (text.empty()) {
        return "the port is empty; give COMn or a device path such as /dev/ttyUSB0";
    }
    if (IsComName(text) && text.find('/') == std::string_view::npos) {
        const std::string_view digits = text.substr(3);
        int com = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), com);
        if (error != std::errc() || end != digits.data() + digits.size() || com < 1 ||
            com > kMaxComPort) {
            return "\"" + target.label + "\": a COM port is COM1 to COM" +
                   std::to_string(kMaxComPort);
        }
        target.com = com;
        target.label = PortDisplayName(com);
        return {};
    }
    return ParsePortPath(text, target);
}
