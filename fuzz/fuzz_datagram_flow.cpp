// The datagram transcoder's data flow fed arbitrary datagram sequences, with
// reads and supervision ticks in between. Checks besides "no crash":
//   - ReadData gives whole 1280-byte blocks within the capacity, each block
//     exactly the payload of one packet that was sent;
//   - between two reads that report no restart, blocks come out in stream
//     order and never twice;
//   - the statistics stay consistent (no more packets restored than asked
//     for, never more than 256 awaited).
//
// Input: a sequence of operations, each one byte op followed by its bytes:
//   op % 5 == 0: a data packet with the sequence number of the next two bytes;
//   op % 5 == 1: a data packet at the last sequence number plus the signed
//                next byte (reordering, duplicates and small gaps);
//   op % 5 == 2: a raw datagram of the next byte's length, cut from the input
//                (or of 1283/1285 bytes when that byte is 255 or 254);
//   op % 5 == 3: ReadData with a capacity of the next byte x 640 bytes;
//   op % 5 == 4: a supervision tick.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "transcoders/DatagramFlowProcessor.h"
#include "transcoders/TranscoderDataProtocol.h"

namespace {

using namespace zorv;

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1, network byte order
const TranscoderAddress kTranscoder{kLoopback, 5000};

class CHost final : public ITranscoderFlowHost {
public:
    uint32_t PresenceState(const TranscoderAddress&) const override { return kPresenceAnswering; }
    RequestHandle SendDeviceCommand(const TranscoderAddress&, uint8_t, uint32_t,
                                    uint32_t) override {
        return CompletedRequest(RequestResult::kSuccess);
    }
    RequestHandle EnableGroup(const TranscoderAddress&, uint32_t, bool) override {
        return CompletedRequest(RequestResult::kSuccess);
    }
    bool GetAonForm(uint32_t, uint32_t&, uint32_t&) const override { return false; }
    void RegisterFlow(uint32_t, CTranscoderFlow*) override {}
};

class CSink final : public CTranscoderFlowSink {
public:
    void Report(int, const std::string&) override {}
    void OnStarted(uint32_t) override {}
};

class CDevice final : public CTranscoderDeviceLink {
public:
    bool CheckIdentity(const DeviceInfo&, uint32_t) override { return true; }
    void OnFlowStopped() override {}
};

uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// Every payload byte follows from the sequence number, so a block tells
// which packet it came from and whether it is whole.
uint8_t PayloadByte(uint16_t seq, std::size_t i) {
    return static_cast<uint8_t>((seq >> ((i & 1) * 8)) + i / 2 * 31);
}

void FillPacket(std::vector<uint8_t>& packet, uint16_t seq) {
    packet.assign(kDataPacketSize, 0);
    packet[0] = kDataPacketMark & 0xFF;
    packet[1] = kDataPacketMark >> 8;
    packet[2] = static_cast<uint8_t>(seq & 0xFF);
    packet[3] = static_cast<uint8_t>(seq >> 8);
    for (std::size_t i = 0; i < kDataPayloadSize; ++i) {
        packet[4 + i] = PayloadByte(seq, i);
    }
}

struct Flow {
    CHost host;
    CSink sink;
    CDevice device;
    CDatagramFlowProcessor flow{host, sink, device};
    Flow() { flow.SetSupervisionPeriod(std::chrono::milliseconds{0}); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static Flow* state = new Flow;
    CDatagramFlowProcessor& flow = state->flow;
    DeviceInfo identity{};
    bool started = false;
    for (int attempt = 0; attempt < 20 && !started; ++attempt) {
        const uint16_t port = FreePort();
        started = port > kHighestRefusedDataPort &&
                  flow.Start(identity, kTranscoder.port, port, kTranscoder, 0, "");
    }
    if (!started) {
        std::abort();
    }

    std::vector<uint8_t> packet;
    std::vector<uint8_t> out;
    uint16_t lastSeq = 0;
    bool haveRead = false;
    uint16_t lastRead = 0;
    std::size_t at = 0;
    auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    while (at < size) {
        const uint8_t op = next();
        switch (op % 5) {
            case 0:
                lastSeq = static_cast<uint16_t>(next() | (next() << 8));
                FillPacket(packet, lastSeq);
                flow.OnDatagram(packet.data(), packet.size(), kTranscoder);
                break;
            case 1:
                lastSeq = static_cast<uint16_t>(lastSeq + static_cast<int8_t>(next()));
                FillPacket(packet, lastSeq);
                flow.OnDatagram(packet.data(), packet.size(), kTranscoder);
                break;
            case 2: {
                const uint8_t length = next();
                if (length >= 254) {
                    FillPacket(packet, lastSeq);
                    packet.resize(length == 255 ? kDataPacketSize - 1 : kDataPacketSize + 1);
                    flow.OnDatagram(packet.data(), packet.size(), kTranscoder);
                    break;
                }
                const std::size_t n = std::min<std::size_t>(length, size - at);
                // A copy of exactly n bytes, so reading past it is caught.
                std::vector<uint8_t> raw(data + at, data + at + n);
                at += n;
                flow.OnDatagram(raw.data(), raw.size(), kTranscoder);
                break;
            }
            case 3: {
                const std::size_t capacity = std::size_t{next()} * (kDataPayloadSize / 2);
                out.assign(capacity, 0);
                bool restart = false;
                const std::size_t n = flow.ReadData(out.data(), out.size(), restart);
                if (n > capacity || n % kDataPayloadSize != 0) {
                    std::abort();
                }
                if (restart) {
                    haveRead = false;
                }
                for (std::size_t block = 0; block < n; block += kDataPayloadSize) {
                    const uint8_t* b = out.data() + block;
                    const auto seq = static_cast<uint16_t>(b[0] | (b[1] << 8));
                    for (std::size_t i = 0; i < kDataPayloadSize; ++i) {
                        if (b[i] != PayloadByte(seq, i)) {
                            std::abort();  // not one packet's payload
                        }
                    }
                    const auto step = static_cast<uint16_t>(seq - lastRead);
                    if (haveRead && (step == 0 || step >= 0x8000)) {
                        std::abort();  // repeated or out of order
                    }
                    haveRead = true;
                    lastRead = seq;
                }
                break;
            }
            default:
                flow.Tick();
                break;
        }
        const tagTranscoderStatistic s = *flow.GetStatistics();
        if (s.resendQueueSize > 256 || s.nResendPacketReceive > s.nResendPacketRequest[0]) {
            std::abort();
        }
    }
    return 0;
}
