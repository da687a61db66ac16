// Datagrams of the transcoder protocol: any bytes are decoded without reading
// past their end, a decoded packet survives a re-encoding unchanged, and the
// configurator takes any datagram from a transcoder's address.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "core/Journal.h"
#include "transcoders/TranscoderConfigurator.h"

namespace {

zorv::CTranscoderConfigurator& Configurator() {
    static zorv::CNullJournal journal;
    static zorv::CTranscoderConfigurator* configurator = [] {
        const std::filesystem::path dir =
            std::filesystem::temp_directory_path() / "fuzz_transcoder_packet";
        std::filesystem::create_directories(dir);
        auto* made = new zorv::CTranscoderConfigurator(journal);
        if (!made->Start((dir / "Transcoders.ini").string())) {
            std::abort();
        }
        made->Enable();
        return made;
    }();
    return *configurator;
}

bool SameBytes(const void* a, const void* b, std::size_t size) {
    return std::memcmp(a, b, size) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace zorv;
    const std::span<const uint8_t> bytes(data, size);
    std::optional<TranscoderPacket> packet = DecodeTranscoderPacket(bytes);
    if (packet) {
        std::vector<uint8_t> again(kCurrentPacketSize);
        again.resize(EncodeTranscoderPacket(*packet, again));
        if (again.size() != size) {
            std::abort();
        }
        std::optional<TranscoderPacket> second = DecodeTranscoderPacket(again);
        if (!second || second->type != packet->type || second->sequence != packet->sequence ||
            !SameBytes(&second->info, &packet->info, sizeof packet->info) ||
            second->config.IpAddr != packet->config.IpAddr ||
            second->config.ConfigPort != packet->config.ConfigPort ||
            second->config.ProtectLevel != packet->config.ProtectLevel ||
            FieldText(second->config.Description) != FieldText(packet->config.Description)) {
            std::abort();
        }
    }
    Configurator().OnDatagram(bytes, TranscoderAddress{0x0100007F, 9});
    return 0;
}
