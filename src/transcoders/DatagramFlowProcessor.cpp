#include "transcoders/DatagramFlowProcessor.h"

#include <ace/INET_Addr.h>
#include <ace/SOCK_Dgram.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "core/Journal.h"
#include "platform/AutoResetEvent.h"
#include "platform/Mutex.h"
#include "platform/ThreadPriority.h"
#include "transcoders/TranscoderDataProtocol.h"
#include "transcoders/TranscoderSocket.h"

namespace zorv {

namespace {

constexpr std::size_t kSlotCount = 256;
constexpr uint32_t kSlotMask = kSlotCount - 1;
constexpr uint32_t kMaxMissing = 256;
constexpr uint16_t kGapLimit = 11;
constexpr uint32_t kRepeatAge1 = 64;
constexpr uint32_t kRepeatAge2 = 128;
constexpr uint32_t kLostAge = 192;
constexpr std::size_t kEventSlots = 8;
constexpr uint32_t kSilentTicksLimit = 15;  // more than this many 2 s ticks: 32 s
constexpr uint32_t kRateTicks = 2;
constexpr uint32_t kRateSeconds = 4;
constexpr std::chrono::milliseconds kDefaultSupervisionPeriod{2000};
constexpr std::chrono::milliseconds kDatagramReceivePoll{100};
// A command whose completion never comes (the configurator gone) ends here.
constexpr std::chrono::milliseconds kCommandWaitLimit{30000};
// Received datagrams are read into this much, so a longer one shows its
// excess length and is refused.
constexpr std::size_t kReceiveBufferSize = 2048;
constexpr uint16_t kAdcWordRemapped = 33505;
constexpr uint16_t kAdcWordSent = 33377;
constexpr int kAonSamples = 32;

enum SlotState : uint8_t {
    kSlotEmpty = 0,
    kSlotData = 1,
    kSlotMissing = 2,
    kSlotLost = 3,
};

constexpr int32_t kNoSequence = -1;

uint16_t ReadLe16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

}  // namespace

struct CDatagramFlowProcessor::Impl {
    Impl(ITranscoderFlowHost& hostRef, CTranscoderFlowSink& sinkRef,
         CTranscoderDeviceLink& deviceRef)
        : host(hostRef), sink(sinkRef), device(deviceRef), payload(kSlotCount * kDataPayloadSize) {
        slotState.fill(kSlotEmpty);
        slotSequence.fill(kNoSequence);
        slotAge.fill(0);
    }

    // Borrowed, constant after construction.
    ITranscoderFlowHost& host;
    CTranscoderFlowSink& sink;
    CTranscoderDeviceLink& device;

    // Serialises supervision steps; taken before m_lock.
    CMutex tickLock;
    mutable CRecursiveMutex lock;

    // Guarded by lock.
    uint32_t state GUARDED_BY(lock) = FS_STOPPED;
    uint32_t generation GUARDED_BY(lock) = 0;  // moves on at every Start and Stop
    TranscoderAddress address GUARDED_BY(lock);
    uint16_t localPort GUARDED_BY(lock) = 0;
    uint32_t serial GUARDED_BY(lock) = 0;
    uint32_t context GUARDED_BY(lock) = 0;
    CAutoResetEvent* dataEvent GUARDED_BY(lock) = nullptr;
    RequestHandle pending GUARDED_BY(lock);
    uint32_t silentTicks GUARDED_BY(lock) = 0;
    uint32_t rateBytes GUARDED_BY(lock) = 0;
    uint32_t rateTicks GUARDED_BY(lock) = 0;
    tagTranscoderStatistic statistics GUARDED_BY(lock){};
    tagTranscoderStatistic statisticsCopy GUARDED_BY(lock){};
    std::chrono::milliseconds supervisionPeriod GUARDED_BY(lock) = kDefaultSupervisionPeriod;

    // The reorder ring. Positions count packets since the ring was last
    // emptied; a position's slot is its low 8 bits, which are always the low
    // 8 bits of its sequence number. Positions [readPos, writePos) are
    // waiting for the reader, at most 256 of them.
    uint16_t expected GUARDED_BY(lock) = 0;
    uint32_t readPos GUARDED_BY(lock) = 0;
    uint32_t writePos GUARDED_BY(lock) = 0;
    std::size_t filled GUARDED_BY(lock) = 0;
    uint32_t missing GUARDED_BY(lock) = 0;  // slots in kSlotMissing (the missing-packet map)
    bool restart GUARDED_BY(lock) = false;
    std::array<uint8_t, kSlotCount> slotState GUARDED_BY(lock);
    // The sequence number last placed in the slot (kNoSequence: none since
    // the ring was emptied), and for missing slots the packets processed
    // since the request.
    std::array<int32_t, kSlotCount> slotSequence GUARDED_BY(lock);
    std::array<uint32_t, kSlotCount> slotAge GUARDED_BY(lock);
    std::vector<uint8_t> payload GUARDED_BY(lock);  // 256 x 1280, allocated once

    // Opened by Start before the threads run and closed by Stop after they
    // ended; the receive thread only receives, senders hold lock.
    ACE_SOCK_Dgram socket;
    std::atomic<bool> socketOpen{false};
    std::vector<uint8_t> receiveBuffer =
        std::vector<uint8_t>(kReceiveBufferSize);  // receive thread

    // Thread control.
    std::atomic<bool> stopThreads{false};
    CAutoResetEvent wakeReceiver;  // ends the receive thread's poll at once
    std::mutex wakeLock;
    std::condition_variable wake;
    std::thread receiveThread;
    std::thread supervisionThread;

    std::string Host() const REQUIRES(lock) { return DottedAddress(address.ip); }

    void EmptyRing() REQUIRES(lock) {
        slotState.fill(kSlotEmpty);
        slotSequence.fill(kNoSequence);
        slotAge.fill(0);
        readPos = 0;
        writePos = 0;
        filled = 0;
        missing = 0;
    }

    void ResetStream() REQUIRES(lock) {
        EmptyRing();
        expected = 0;
        restart = false;
        statistics = tagTranscoderStatistic{};
        silentTicks = 0;
        rateBytes = 0;
        rateTicks = 0;
        pending.reset();
    }

    // Takes the next position for sequence number seq and returns its slot.
    // Whatever the slot still held is overwritten: unread data (the reader
    // fell 256 packets behind) is a gap the reader is told of; a packet
    // still awaited there can never be placed any more and counts as lost.
    uint32_t ClaimPosition(int32_t seq) REQUIRES(lock) {
        const uint32_t slot = writePos & kSlotMask;
        if (slotState[slot] == kSlotData) {
            --filled;
            restart = true;
        } else if (slotState[slot] == kSlotMissing) {
            --missing;
            ++statistics.nPacketLost;
        }
        slotState[slot] = kSlotEmpty;
        slotSequence[slot] = seq;
        slotAge[slot] = 0;
        ++writePos;
        if (writePos - readPos > kSlotCount) {
            readPos = writePos - static_cast<uint32_t>(kSlotCount);
        }
        return slot;
    }

    void StoreData(uint32_t slot, const uint8_t* data) REQUIRES(lock) {
        std::memcpy(payload.data() + slot * kDataPayloadSize, data, kDataPayloadSize);
        slotState[slot] = kSlotData;
        ++filled;
        if (filled >= kEventSlots && dataEvent != nullptr) {
            dataEvent->Set();
        }
    }

    void SendResendRequest(uint16_t seq) REQUIRES(lock) {
        if (!socketOpen.load()) {
            return;
        }
        const std::array<uint8_t, kResendRequestSize> request = {
            static_cast<uint8_t>(kDataPacketMark & 0xFF),
            static_cast<uint8_t>(kDataPacketMark >> 8), static_cast<uint8_t>(seq & 0xFF),
            static_cast<uint8_t>(seq >> 8)};
        socket.send(request.data(), request.size(),
                    ToAceAddress(TranscoderAddress{address.ip, localPort}));
    }

    void Resynchronise(uint16_t seq, const uint8_t* data) REQUIRES(lock) {
        EmptyRing();
        for (uint32_t i = 0; i < (seq & kSlotMask); ++i) {
            const uint32_t slot = ClaimPosition(kNoSequence);
            slotState[slot] = kSlotLost;
        }
        StoreData(ClaimPosition(seq), data);
        expected = static_cast<uint16_t>(seq + 1);
        ++statistics.nStreamLost;
        restart = true;
    }

    void FillGap(uint16_t seq, const uint8_t* data) REQUIRES(lock) {
        for (uint16_t e = expected; e != seq; ++e) {
            const bool full = missing >= kMaxMissing;
            const uint32_t slot = ClaimPosition(e);
            if (full) {
                slotState[slot] = kSlotLost;
                ++statistics.nPacketLost;
            } else {
                slotState[slot] = kSlotMissing;
                ++missing;
                ++statistics.nResendPacketRequest[0];
                SendResendRequest(e);
            }
        }
        StoreData(ClaimPosition(seq), data);
        expected = static_cast<uint16_t>(seq + 1);
    }

    void AgeMissing() REQUIRES(lock) {
        if (missing == 0) {
            return;
        }
        for (uint32_t pos = readPos; pos != writePos; ++pos) {
            const uint32_t slot = pos & kSlotMask;
            if (slotState[slot] != kSlotMissing) {
                continue;
            }
            const uint32_t age = ++slotAge[slot];
            const auto seq = static_cast<uint16_t>(slotSequence[slot]);
            if (age == kRepeatAge1) {
                ++statistics.nResendPacketRequest[1];
                SendResendRequest(seq);
            } else if (age == kRepeatAge2) {
                ++statistics.nResendPacketRequest[2];
                SendResendRequest(seq);
            } else if (age >= kLostAge) {
                slotState[slot] = kSlotLost;
                --missing;
                ++statistics.nPacketLost;
            }
        }
    }

    // One accepted data packet.
    void Accept(uint16_t seq, const uint8_t* data) REQUIRES(lock) {
        const uint32_t slot = seq & kSlotMask;
        const uint16_t ahead = static_cast<uint16_t>(seq - expected);
        const uint16_t behind = static_cast<uint16_t>(expected - seq);
        if (seq == expected) {
            StoreData(ClaimPosition(seq), data);
            expected = static_cast<uint16_t>(seq + 1);
        } else if (slotState[slot] == kSlotMissing && slotSequence[slot] == seq) {
            StoreData(slot, data);
            --missing;
            ++statistics.nResendPacketReceive;
        } else if (ahead <= kGapLimit) {
            FillGap(seq, data);
        } else if (behind < kSlotCount && slotSequence[slot] == seq) {
            // Already placed (received, read or given up): a duplicate or a
            // late answer. Taking it again would restart the stream and
            // deliver what the reader already has.
            return;
        } else {
            Resynchronise(seq, data);
        }
        AgeMissing();
        if (++statistics.nPacketReceive == 0) {
            statistics = tagTranscoderStatistic{};
        }
    }

    // A thread that stops its own flow (a sink callback from a tick) cannot
    // wait for itself: it is left to end after that tick.
    static void JoinOrLeave(std::thread& thread) {
        if (!thread.joinable()) {
            return;
        }
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }

    // Stops both threads and closes the socket; true when the flow ran.
    bool Halt() EXCLUDES(lock) {
        stopThreads.store(true);
        { std::lock_guard<std::mutex> guard(wakeLock); }
        wake.notify_all();
        wakeReceiver.Set();
        JoinOrLeave(receiveThread);
        JoinOrLeave(supervisionThread);
        CRecursiveLock guard(lock);
        if (socketOpen.exchange(false)) {
            socket.close();
        }
        const bool wasRunning = state != FS_STOPPED;
        state = FS_STOPPED;
        ++generation;
        pending.reset();
        restart = false;
        return wasRunning;
    }

    bool OpenSocket(uint16_t port) {
        if (socketOpen.load()) {
            return false;
        }
        const ACE_INET_Addr local(port, static_cast<ACE_UINT32>(INADDR_ANY));
        if (socket.open(local, AF_INET, 0, /*reuse_addr=*/1) == -1) {
            return false;
        }
        socketOpen.store(true);
        return true;
    }

    uint16_t BoundPort() const {
        ACE_INET_Addr local;
        if (!socketOpen.load() || socket.get_local_addr(local) == -1) {
            return 0;
        }
        return local.get_port_number();
    }

    void ReceiveLoop() {
        std::array<pollfd, 2> watched = {
            pollfd{socket.get_handle(), POLLIN, 0},
            pollfd{wakeReceiver.Fd(), POLLIN, 0},
        };
        while (!stopThreads.load()) {
            watched[0].revents = 0;
            watched[1].revents = 0;
            if (::poll(watched.data(), watched.size(),
                       static_cast<int>(kDatagramReceivePoll.count())) <= 0 ||
                (watched[0].revents & POLLIN) == 0) {
                continue;
            }
            ACE_INET_Addr sender;
            const ssize_t size =
                socket.recv(receiveBuffer.data(), receiveBuffer.size(), sender, MSG_DONTWAIT);
            if (size >= 0) {
                OnDatagram(receiveBuffer.data(), static_cast<std::size_t>(size),
                           FromAceAddress(sender));
            }
        }
    }

    void SupervisionLoop(std::chrono::milliseconds period) {
        SetCurrentThreadTimeCritical();  // best effort
        std::unique_lock<std::mutex> guard(wakeLock);
        while (!stopThreads.load()) {
            if (wake.wait_for(guard, period, [this] { return stopThreads.load(); })) {
                break;
            }
            guard.unlock();
            Tick();
            guard.lock();
        }
    }

    void OnDatagram(const uint8_t* data, std::size_t size, const TranscoderAddress& sender)
        EXCLUDES(lock) {
        CRecursiveLock guard(lock);
        if (state == FS_STOPPED) {
            return;
        }
        silentTicks = 0;
        // Only whole data packets from the transcoder; the length is checked
        // before a byte is read.
        if (size != kDataPacketSize || sender.ip != address.ip ||
            ReadLe16(data) != kDataPacketMark) {
            return;
        }
        rateBytes += static_cast<uint32_t>(size);
        Accept(ReadLe16(data + 2), data + sizeof(DataPacketHeader));
    }

    // Supervision.
    enum class Step { kNone, kSilent, kStarting, kStopAnswered, kStartAnswered };

    void Tick() EXCLUDES(lock);
    void SendCycleCommand(uint32_t generationSeen, uint32_t newState, uint8_t code, uint32_t param1)
        EXCLUDES(lock);
    void Answered(uint32_t generationSeen, Step step, RequestResult result) EXCLUDES(lock);
    RequestResult Command(uint8_t code, uint32_t param1, uint32_t param2) EXCLUDES(lock);
    static RequestResult Await(const RequestHandle& handle);
};

RequestResult CDatagramFlowProcessor::Impl::Await(const RequestHandle& handle) {
    if (!handle) {
        return RequestResult::kSendFailed;
    }
    return handle->WaitFor(kCommandWaitLimit).value_or(RequestResult::kNoAnswer);
}

RequestResult CDatagramFlowProcessor::Impl::Command(uint8_t code, uint32_t param1,
                                                    uint32_t param2) {
    TranscoderAddress target;
    {
        CRecursiveLock guard(lock);
        target = address;
    }
    return Await(host.SendDeviceCommand(target, code, param1, param2));
}

// Enters newState (a stop or start outstanding) and sends its command; the
// host is asked outside the lock and the handle kept only when no Start,
// Stop or other step came in between.
void CDatagramFlowProcessor::Impl::SendCycleCommand(uint32_t generationSeen, uint32_t newState,
                                                    uint8_t code, uint32_t param1) {
    TranscoderAddress target;
    {
        CRecursiveLock guard(lock);
        if (generation != generationSeen) {
            return;
        }
        state = newState;
        ++generation;
        generationSeen = generation;
        pending.reset();
        target = address;
    }
    RequestHandle handle = host.SendDeviceCommand(target, code, param1, 0);
    CRecursiveLock guard(lock);
    if (generation == generationSeen) {
        pending = handle ? handle : CompletedRequest(RequestResult::kSendFailed);
    }
}

void CDatagramFlowProcessor::Impl::Answered(uint32_t generationSeen, Step step,
                                            RequestResult result) {
    std::string hostText;
    uint16_t port = 0;
    uint32_t contextNow = 0;
    {
        CRecursiveLock guard(lock);
        if (generation != generationSeen) {
            return;
        }
        hostText = Host();
        port = localPort;
        contextNow = context;
        ++generation;
        generationSeen = generation;
        if (result == RequestResult::kNoAnswer) {
            state = FS_STARTING;
            return;
        }
        if (result != RequestResult::kSuccess) {
            state = FS_FAILED;
        } else if (step == Step::kStartAnswered) {
            state = FS_STREAMING;
            silentTicks = 0;
        }
    }
    const bool stopStep = step == Step::kStopAnswered;
    if (result == RequestResult::kBadPassword) {
        sink.Report(1, FormatCatalogText(Msg{stopStep ? 322 : 324}, hostText));
    } else if (result == RequestResult::kSuccess) {
        if (stopStep) {
            sink.Report(0, FormatCatalogText(Msg{321}, hostText));
            SendCycleCommand(generationSeen, FS_CONNECTED, TCMD_START, port);
        } else {
            sink.Report(0, FormatCatalogText(Msg{323}, hostText));
            sink.OnStarted(contextNow);
        }
    }
}

void CDatagramFlowProcessor::Impl::Tick() {
    CMutexLock tickGuard(tickLock);
    Step step = Step::kNone;
    RequestResult result = RequestResult::kSuccess;
    TranscoderAddress target;
    uint32_t generationSeen = 0;
    {
        CRecursiveLock guard(lock);
        if (state == FS_STOPPED || state == FS_FAILED) {
            return;
        }
        if (++rateTicks >= kRateTicks) {
            statistics.streamSpeed = rateBytes / kRateSeconds;
            rateBytes = 0;
            rateTicks = 0;
        }
        switch (state) {
            case FS_STREAMING:
                if (++silentTicks > kSilentTicksLimit) {
                    silentTicks = 0;
                    step = Step::kSilent;
                }
                break;
            case FS_RECONNECT:
            case FS_CONNECTED:
                // Polled, never waited for: the answer may take 6 s.
                if (pending && pending->IsComplete()) {
                    result = pending->Wait();
                    pending.reset();
                    step = state == FS_RECONNECT ? Step::kStopAnswered : Step::kStartAnswered;
                }
                break;
            case FS_STARTING:
                step = Step::kStarting;
                break;
            default:
                break;
        }
        target = address;
        generationSeen = generation;
    }
    switch (step) {
        case Step::kNone:
            return;
        case Step::kSilent: {
            const uint32_t presence = host.PresenceState(target);
            if (presence == kPresenceLost) {
                CRecursiveLock guard(lock);
                if (generation == generationSeen) {
                    state = FS_STARTING;
                    ++generation;
                }
                return;
            }
            {
                // The transcoder starts its stream again from wherever it
                // likes: what the ring holds belongs to the old one.
                CRecursiveLock guard(lock);
                if (generation != generationSeen) {
                    return;
                }
                EmptyRing();
                expected = 0;
                restart = true;
            }
            SendCycleCommand(generationSeen, FS_RECONNECT, TCMD_STOP, 0);
            return;
        }
        case Step::kStarting:
            if (host.PresenceState(target) == kPresenceAnswering) {
                SendCycleCommand(generationSeen, FS_RECONNECT, TCMD_STOP, 0);
            }
            return;
        case Step::kStopAnswered:
        case Step::kStartAnswered:
            Answered(generationSeen, step, result);
            return;
    }
}

CDatagramFlowProcessor::CDatagramFlowProcessor(ITranscoderFlowHost& host, CTranscoderFlowSink& sink,
                                               CTranscoderDeviceLink& device)
    : m_impl(std::make_unique<Impl>(host, sink, device)) {}

CDatagramFlowProcessor::~CDatagramFlowProcessor() {
    m_impl->Halt();
}

bool CDatagramFlowProcessor::Start(const DeviceInfo& identity, uint16_t /*portA*/, uint16_t portB,
                                   const TranscoderAddress& address, uint32_t protocol,
                                   const std::string& /*password: the host's commands carry it*/) {
    Impl& d = *m_impl;
    d.Halt();
    const std::string host = DottedAddress(address.ip);
    if (!d.device.CheckIdentity(identity, protocol)) {
        d.sink.Report(1, FormatCatalogText(Msg{320}, host));
        return false;
    }
    d.wakeReceiver.TryReset();
    if (portB <= kHighestRefusedDataPort || !d.OpenSocket(portB)) {
        d.sink.Report(1, FormatCatalogText(Msg{319}, static_cast<unsigned>(portB), host));
        return false;
    }
    std::chrono::milliseconds period;
    {
        CRecursiveLock guard(d.lock);
        d.address = address;
        d.localPort = portB;
        d.serial = uint32_t{identity.SerialNumber};
        d.ResetStream();
        d.state = FS_STARTING;
        ++d.generation;
        period = d.supervisionPeriod;
    }
    d.stopThreads.store(false);
    try {
        d.receiveThread = std::thread([&d] { d.ReceiveLoop(); });
        if (period.count() > 0) {
            d.supervisionThread = std::thread([&d, period] { d.SupervisionLoop(period); });
        }
    } catch (const std::system_error&) {
        d.Halt();
        d.sink.Report(1, FormatCatalogText(Msg{318}, host));
        return false;
    }
    return true;
}

bool CDatagramFlowProcessor::Stop() {
    if (m_impl->Halt()) {
        m_impl->device.OnFlowStopped();
    }
    return true;
}

const tagTranscoderStatistic* CDatagramFlowProcessor::GetStatistics() {
    CRecursiveLock guard(m_impl->lock);
    m_impl->statistics.resendQueueSize = m_impl->missing;
    m_impl->statisticsCopy = m_impl->statistics;
    return &m_impl->statisticsCopy;
}

void CDatagramFlowProcessor::SetSupervisionPeriod(std::chrono::milliseconds period) {
    CRecursiveLock guard(m_impl->lock);
    m_impl->supervisionPeriod = period;
}

void CDatagramFlowProcessor::SetDataEvent(CAutoResetEvent* event) {
    CRecursiveLock guard(m_impl->lock);
    m_impl->dataEvent = event;
}

std::size_t CDatagramFlowProcessor::ReadData(uint8_t* destination, std::size_t capacity,
                                             bool& restart) {
    Impl& d = *m_impl;
    CRecursiveLock guard(d.lock);
    restart = d.restart;
    d.restart = false;
    std::size_t copied = 0;
    while (d.readPos != d.writePos) {
        const uint32_t slot = d.readPos & kSlotMask;
        const uint8_t state = d.slotState[slot];
        if (state == kSlotData) {
            if (capacity - copied < kDataPayloadSize) {
                break;
            }
            std::memcpy(destination + copied, d.payload.data() + slot * kDataPayloadSize,
                        kDataPayloadSize);
            copied += kDataPayloadSize;
            --d.filled;
        } else if (state != kSlotLost) {
            break;  // waiting for a missing packet
        }
        d.slotState[slot] = kSlotEmpty;
        ++d.readPos;
    }
    return copied;
}

void CDatagramFlowProcessor::SetContext(uint32_t context) {
    CRecursiveLock guard(m_impl->lock);
    m_impl->context = context;
}

uint32_t CDatagramFlowProcessor::State() const {
    CRecursiveLock guard(m_impl->lock);
    return m_impl->state;
}

bool CDatagramFlowProcessor::HasSocket() const {
    return m_impl->socketOpen.load();
}

uint16_t CDatagramFlowProcessor::LocalPort() const {
    return m_impl->BoundPort();
}

RequestResult CDatagramFlowProcessor::WriteAdcWord(uint16_t word) {
    // The codec word 33505 must reach the codec as 33377.
    const uint16_t sent = word == kAdcWordRemapped ? kAdcWordSent : word;
    return m_impl->Command(TCMD_OUT_DATA_TO_ADC, 0, sent);
}

RequestResult CDatagramFlowProcessor::ResetAdc() {
    return m_impl->Command(TCMD_RESET_ADC, 0, 0);
}

RequestResult CDatagramFlowProcessor::WriteLineWord(uint32_t word) {
    return m_impl->Command(TCMD_WRITE_DATA_TO_SOGL, 0, word);
}

RequestResult CDatagramFlowProcessor::EnableGroup(uint32_t group, bool on) {
    TranscoderAddress target;
    {
        CRecursiveLock guard(m_impl->lock);
        target = m_impl->address;
    }
    return Impl::Await(m_impl->host.EnableGroup(target, group, on));
}

RequestResult CDatagramFlowProcessor::UploadAonRequestSignal() {
    uint32_t serial = 0;
    {
        CRecursiveLock guard(m_impl->lock);
        serial = m_impl->serial;
    }
    uint32_t level = 0;
    uint32_t form = 0;
    if (!m_impl->host.GetAonForm(serial, level, form)) {
        return RequestResult::kNoTranscoder;
    }
    // A level above 100 % would leave the 16 bits of a sample; it is held at
    // full scale instead of wrapping round.
    const double amplitude = std::min(level * 32767.0 * 0.01, 32767.0);
    for (int i = 0; i < kAonSamples; ++i) {
        double value = 0;
        if (form == 0) {
            value = amplitude * std::sin(i * 0.03125 * 6.28256);
        } else {
            value = i < kAonSamples / 2 ? amplitude : -amplitude;
        }
        const auto sample = static_cast<int16_t>(value);  // toward zero
        const uint32_t word = (static_cast<uint32_t>(i) << 16) |
                              (static_cast<uint32_t>(static_cast<uint16_t>(sample)));
        const RequestResult result = m_impl->Command(TCMD_WRITE_AON_REQ_SAMPLE, 0, word);
        if (result != RequestResult::kSuccess) {
            return result;
        }
    }
    return RequestResult::kSuccess;
}

void CDatagramFlowProcessor::Tick() {
    m_impl->Tick();
}

void CDatagramFlowProcessor::OnDatagram(const uint8_t* data, std::size_t size,
                                        const TranscoderAddress& sender) {
    m_impl->OnDatagram(data, size, sender);
}

}  // namespace zorv
