#include "SoakModuleView.h"

#include <cctype>
#include <optional>
#include <sstream>

#include "CommandFrame.h"
#include "ModuleQuantity.h"

namespace bench {

void ModuleView::OnLine(const std::string& line) {
    std::istringstream in(line);
    std::string time;
    std::string dir;
    in >> time >> dir;
    std::vector<std::uint8_t> bytes;
    std::string meaning;
    for (std::string token; in >> token && meaning.empty();) {
        if (token.size() == 2 && std::isxdigit(static_cast<unsigned char>(token[0])) &&
            std::isxdigit(static_cast<unsigned char>(token[1]))) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoi(token, nullptr, 16)));
        } else {
            std::getline(in, meaning);
            meaning = token + meaning;
        }
    }
    // A set frame (00 01 cmd ..) from the panel, or a reply (01 01 cmd ..) to it.
    const bool valued =
        bytes.size() == kFrameSize && bytes[1] == 0x01 && QuantityOfCommand(bytes[2]).has_value();
    if (dir == "rx") {
        m_lastRxNs = MonotonicNs();
        ++m_rxFrames;
        if (valued && bytes[0] == 0x00) {
            std::vector<int>& sets = m_sets[bytes[2]];
            sets.push_back(ValueOf(bytes));
            if (sets.size() > kSetsKept) {
                sets.erase(sets.begin());
            }
        }
    } else if ((dir == "tx" || dir == "--") && meaning == "noise") {
        m_repliesSinceNoise = 0;
        ++m_noise;
    } else if ((dir == "tx" || dir == "--") && valued && bytes[0] == 0x01) {
        Quantity& q = m_quantities[bytes[2]];
        q = {true, ValueOf(bytes), Fate::Dropped, false};
        if (dir == "--") {
            ++m_dropped;
            return;
        }
        q.afterNoise = ++m_repliesSinceNoise <= 3;
        const bool corrupted = meaning.find("corrupted") != std::string::npos;
        q.fate = corrupted ? Fate::Corrupted : Fate::Intact;
        ++(corrupted ? m_corrupted : m_intact);
    }
}

int ModuleView::ValueOf(const std::vector<std::uint8_t>& frame) {
    // Read as the panel reads a reply, whatever the line did to the checksum; the panel's set
    // frames carry their value the same way.
    const std::optional<ModuleReply> reply = DecodeReply(ReplyFrame(frame[2], frame[3], frame[4]));
    return reply ? reply->value : -1;
}

}  // namespace bench
