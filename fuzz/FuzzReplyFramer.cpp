// Fuzzes the reply framer with arbitrary byte streams. Every frame it returns must carry the
// reply header and a checksum that matches its first five bytes; ASan watches its buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ReplyFramer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ReplyFramer framer;
    for (std::size_t i = 0; i < size; ++i) {
        const auto frame = framer.Feed(data[i]);
        if (framer.Position() > 5) {
            std::abort();
        }
        if (!frame) {
            continue;
        }
        const unsigned sum = (*frame)[0] + (*frame)[1] + (*frame)[2] + (*frame)[3] + (*frame)[4];
        if ((*frame)[0] != 0x01 || (*frame)[1] != 0x01 || (*frame)[5] != (sum & 0xFF) ||
            (*frame)[5] != data[i]) {
            std::abort();
        }
    }
    return 0;
}
