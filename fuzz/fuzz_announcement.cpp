// The announcement responder's datagram handler and the address text of a
// peer on arbitrary bytes: an answer only for kinds 81 and 84 with the exact
// service text, and a MacText that writes exactly its 18 bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "access/AnnounceResponder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorv;
    const auto reply = AnswerAnnouncement(std::span<const uint8_t>(data, size), 1040);
    if (reply) {
        uint32_t kind = 0;
        std::memcpy(&kind, data, 4);
        const std::string_view text(reinterpret_cast<const char*>(data) + 4,
                                    std::strlen(kServiceText) + 1);
        if ((kind != 81 && kind != 84) || size > kAnnounceRequestMax ||
            text != std::string_view(kServiceText, std::strlen(kServiceText) + 1) ||
            reply->Kind != 144 || reply->ServerPort != 1040) {
            std::abort();
        }
    }
    char out[18];
    if (!MacText(std::string_view(reinterpret_cast<const char*>(data), size), out) ||
        std::strlen(out) != 17) {
        std::abort();
    }
    return 0;
}
