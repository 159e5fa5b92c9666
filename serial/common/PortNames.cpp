#include "PortNames.h"

std::string PortDisplayName(int com) {
    return "COM" + std::to_string(com);
}
