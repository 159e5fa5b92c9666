#include "PortsList.h"

#include "CtlCommands.h"

int RunPorts(const CtlOptions& options, std::FILE* out, std::FILE* messages) {
    const std::vector<std::string> lines = PortLines(options);
    for (const std::string& line : lines) {
        if (std::fprintf(out, "%s\n", line.c_str()) < 0) {
            return kExitFailure;
        }
    }
    if (std::fflush(out) != 0) {
        return kExitFailure;
    }
    if (lines.empty()) {
        std::fprintf(messages, "varnel-ctl: no serial ports found%s\n",
                     options.all ? "" : " (--all also lists those not there)");
    }
    return kExitOk;
}
