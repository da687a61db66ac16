// The configurator's life, its receive thread and its one-second tick.
#include "transcoders/TranscoderConfigurator.h"

#include <array>

#include "platform/ThreadPriority.h"
#include "transcoders/TranscoderSocket.h"

namespace zorv {

namespace {

constexpr std::chrono::milliseconds kTickPeriod{1000};
// How long the receive thread waits for a datagram before it looks at its
// stop flag again.
constexpr std::chrono::milliseconds kAnswerReceivePoll{100};
// Requests are resent at these ages (whole seconds) and given up after.
constexpr int64_t kFirstResendAge = 2;
constexpr int64_t kLastResendAge = 5;
// Presence is aged and the search and polling packets sent every fifth tick.
constexpr uint32_t kPollEveryTicks = 5;
// Polling cycles without an answer after which a transcoder counts as lost.
constexpr uint32_t kMissesBeforeLost = 3;

}  // namespace

CTranscoderConfigurator::CTranscoderConfigurator(IJournal& journal, IClock& clock)
    : m_journal(journal), m_clock(clock) {}

CTranscoderConfigurator::~CTranscoderConfigurator() {
    Stop();
}

bool CTranscoderConfigurator::Start(const std::string& iniPath) {
    Stop();
    auto registry = std::make_unique<CTranscoderRegistry>(iniPath);
    try {
        registry->Load();
    } catch (const std::exception&) {
        return false;  // the stored passwords cannot be deciphered
    }
    auto socket = std::make_unique<CTranscoderSocket>();
    if (!socket->Open()) {
        return false;
    }
    {
        CScopedLock lock(m_lock);
        m_registry = std::move(registry);
        m_searchActive = false;
        m_searchCycles = 0;
        m_tickCount = 0;
    }
    m_localPort = socket->LocalPort();
    {
        CScopedLock lock(m_lock);
        m_socket = std::move(socket);
    }
    m_stopReceive = false;
    try {
        m_receiveThread = std::thread([this] { ReceiveLoop(); });
    } catch (const std::system_error&) {
        CScopedLock lock(m_lock);
        m_socket.reset();
        m_localPort = 0;
        return false;
    }
    return true;
}

void CTranscoderConfigurator::StartServiceThread() {
    if (m_localPort == 0) {  // not started
        return;
    }
    m_tickTimer.Start(kTickPeriod, [this, first = true]() mutable {
        if (first) {
            SetCurrentThreadTimeCritical();  // best effort
            first = false;
        }
        Tick();
    });
}

void CTranscoderConfigurator::Enable() {
    m_enabled = true;
}

void CTranscoderConfigurator::Stop() {
    m_tickTimer.Stop();
    m_stopReceive = true;
    if (m_receiveThread.joinable()) {
        m_receiveThread.join();
    }
    m_enabled = false;
    std::vector<RequestHandle> pending;
    {
        CScopedLock lock(m_lock);
        for (auto& [address, found] : m_found) {
            for (auto& [sequence, request] : found.requests) {
                pending.push_back(request.completion);
            }
        }
        m_found.clear();
        m_foundBySerial.clear();
        m_registry.reset();
        m_searchActive = false;
        m_socket.reset();
    }
    for (const RequestHandle& handle : pending) {
        handle->Complete(RequestResult::kNoAnswer);
    }
    m_localPort = 0;
}

uint16_t CTranscoderConfigurator::LocalPort() const {
    return m_localPort;
}

void CTranscoderConfigurator::ReceiveLoop() {
    std::array<uint8_t, kTranscoderDatagramMax> buffer{};
    while (!m_stopReceive) {
        TranscoderAddress sender;
        std::optional<std::size_t> length = m_socket->Receive(buffer, sender, kAnswerReceivePoll);
        if (!length) {
            continue;
        }
        try {
            OnDatagram(std::span<const uint8_t>(buffer.data(), *length), sender);
        } catch (const std::exception&) {
            // A datagram that cannot be handled is dropped; the thread goes on.
        }
    }
}

void CTranscoderConfigurator::OnDatagram(std::span<const uint8_t> datagram,
                                         const TranscoderAddress& sender) {
    std::optional<TranscoderPacket> packet = DecodeTranscoderPacket(datagram);
    if (!packet) {
        return;  // wrong length or signature
    }
    std::optional<FlowStart> flowStart;
    uint32_t flowSerial = 0;
    std::vector<RequestHandle> completed;
    {
        CScopedLock lock(m_lock);
        if (m_registry == nullptr) {
            return;
        }
        if (packet->type == FT_SCAN_ACKNOWLEDGE) {
            if (!m_enabled) {
                return;
            }
            const bool known = FindFound(sender) != nullptr;
            OnScanAnswer(*packet, sender);
            FoundTranscoder* found = FindFound(sender);
            if (known || found == nullptr) {
                return;
            }
            // A transcoder found for the first time: its registration follows
            // it to the address it answered from, and its flow starts.
            const uint32_t serial = found->entry.info.SerialNumber;
            RegisteredTranscoder* registered = m_registry->FindBySerial(serial);
            if (registered == nullptr) {
                return;
            }
            const TranscoderAddress stored{registered->stored.tsAddr, registered->stored.tsPort};
            if (stored != sender) {
                m_registry->MoveTo(serial, sender);
            }
            if (registered->stored.tsStarted != 0 && registered->flow != nullptr) {
                flowStart = FlowStart{registered->flow,
                                      found->entry.info,
                                      registered->stored.tsPort,
                                      registered->stored.dataPort,
                                      sender,
                                      found->entry.config.Protocol,
                                      FieldText(registered->stored.Password),
                                      FieldText(found->entry.config.Description)};
                flowSerial = serial;
            }
        } else if (FoundTranscoder* found = FindFound(sender)) {
            OnRequestAnswer(*packet, *found);
        }
    }
    if (flowStart) {
        m_journal.FormatJournal(kJournalInfo, Msg{310}, flowStart->description,
                                DottedAddress(flowStart->address.ip));
        StartFlow(*flowStart, flowSerial);
    }
}

void CTranscoderConfigurator::OnScanAnswer(const TranscoderPacket& packet,
                                           const TranscoderAddress& sender) {
    if (FoundTranscoder* found = FindFound(sender)) {
        tagTranscoderEntry& entry = found->entry;
        if (entry.polling_state != kPresenceAnswering) {
            entry.polling_state = kPresenceAnswering;
        }
        found->missedPolls = 0;
        entry.info.StateFlags = packet.info.StateFlags;
        entry.info.HardwareVersion = packet.info.HardwareVersion;
        entry.info.SoftwareVersion = packet.info.SoftwareVersion;
        entry.compressorInfo = packet.compressorInfo;
        entry.uUsesByAddr = packet.usesByAddr;
        return;
    }
    if (packet.config.Protocol != 0) {
        return;  // a protocol this server does not speak
    }
    FoundTranscoder found;
    found.address = sender;
    found.layout = packet.layout;
    found.entry.info = packet.info;
    found.entry.config = packet.config;
    found.entry.polling_state = kPresenceAnswering;
    found.entry.uUsesByAddr = packet.usesByAddr;
    found.entry.uProtocolVer = ProtocolVersion(packet.layout);
    found.entry.compressorInfo = packet.compressorInfo;
    const uint32_t serial = packet.info.SerialNumber;
    // A serial that answers from a second address is known by the newest.
    m_foundBySerial[serial] = sender;
    m_found.emplace(sender, std::move(found));
    m_registry->AddPingAddress(sender);
    m_journal.FormatJournal(kJournalInfo, Msg{309}, FieldText(packet.config.Description),
                            DottedAddress(sender.ip));
}

void CTranscoderConfigurator::OnRequestAnswer(const TranscoderPacket& packet,
                                              FoundTranscoder& found) {
    auto it = found.requests.find(packet.sequence);
    if (it == found.requests.end()) {
        return;  // an answer nobody waits for (late, repeated or forged)
    }
    const TranscoderRequest& request = it->second;
    RequestHandle completion = request.completion;
    RequestResult result;
    bool forget = false;
    switch (packet.type) {
        case FT_BAD_PASSWORD:
            result = RequestResult::kBadPassword;
            break;
        case FT_CONFIG_VALUE:
            found.entry.config = packet.config;
            result = RequestResult::kSuccess;
            break;
        case FT_CONFIG_CHANGE_ERROR:
            result = RequestResult::kRefused;
            break;
        case FT_CONFIG_CHANGE_OK: {
            const DeviceConfig& now = found.entry.config;
            const DeviceConfig& next = packet.config;
            if (next.AddressType == now.AddressType && next.IpAddr == now.IpAddr &&
                next.ConfigPort == now.ConfigPort) {
                found.entry.config = next;
                found.entry.polling_state = kPresenceChanged;
            } else {
                forget = true;  // it moved: found again at its new address
            }
            result = RequestResult::kSuccess;
            break;
        }
        case FT_EXEC_REJECT:
            result = RequestResult::kRejected;
            break;
        case FT_EXEC_ACKNOWLEDGE:
            if (request.code == TCMD_START) {
                found.started = true;
            } else if (request.code == TCMD_STOP) {
                found.started = false;
            }
            result = RequestResult::kSuccess;
            break;
        case FT_DEVICE_BUSY:
            result = RequestResult::kBusy;
            break;
        default:
            return;  // scan requests, restart and stop notices, unknown types
    }
    found.requests.erase(it);
    completion->Complete(result);
    if (forget) {
        Forget(found.address);
    }
}

void CTranscoderConfigurator::Tick() {
    CScopedLock lock(m_lock);
    if (m_registry == nullptr) {
        return;
    }
    const IClock::SteadyTime now = m_clock.SteadyNow();
    for (auto& [address, found] : m_found) {
        ExpireRequests(found, now);
    }
    if (++m_tickCount % kPollEveryTicks == 0) {
        AgePresence();
        SendSearchAndPolls();
    }
}

void CTranscoderConfigurator::ExpireRequests(FoundTranscoder& found, IClock::SteadyTime now) {
    for (auto it = found.requests.begin(); it != found.requests.end();) {
        const TranscoderRequest& request = it->second;
        const int64_t age =
            std::chrono::duration_cast<std::chrono::seconds>(now - request.sentAt).count();
        bool giveUp = age > kLastResendAge;
        if (!giveUp && age >= kFirstResendAge) {
            giveUp = !SendPacket(found, request);
        }
        if (giveUp) {
            RequestHandle completion = request.completion;
            it = found.requests.erase(it);
            completion->Complete(RequestResult::kNoAnswer);
        } else {
            ++it;
        }
    }
}

void CTranscoderConfigurator::AgePresence() {
    for (auto& [address, found] : m_found) {
        uint32_t& state = found.entry.polling_state;
        if (state == kPresenceAnswering) {
            state = kPresencePolled;
            found.missedPolls = 0;
        } else if (state == kPresencePolled && ++found.missedPolls > kMissesBeforeLost) {
            state = kPresenceLost;
        }
    }
}

void CTranscoderConfigurator::SendSearchAndPolls() {
    TranscoderPacket scan;
    scan.layout = TranscoderLayout::kEarlier;
    scan.type = FC_SCAN_DEVICE;
    if (m_searchActive) {
        for (uint16_t port : m_registry->PingPorts()) {
            SendTo(scan, TranscoderAddress{m_registry->SearchBroadcastAddress(), port});
        }
        if (++m_searchCycles >= m_registry->SearchAutoStopTime()) {
            m_searchActive = false;
            m_searchCycles = 0;
        }
    }
    for (const TranscoderAddress& address : m_registry->PingAddresses()) {
        SendTo(scan, address);
    }
}

bool CTranscoderConfigurator::SendTo(const TranscoderPacket& packet, const TranscoderAddress& to) {
    std::array<uint8_t, kCurrentPacketSize> bytes{};
    const std::size_t size = EncodeTranscoderPacket(packet, bytes);
    return m_socket != nullptr && size != 0 &&
           m_socket->Send(std::span<const uint8_t>(bytes.data(), size), to);
}

void CTranscoderConfigurator::Forget(TranscoderAddress address) {
    auto it = m_found.find(address);
    if (it == m_found.end()) {
        return;
    }
    for (auto& [sequence, request] : it->second.requests) {
        request.completion->Complete(RequestResult::kNoAnswer);
    }
    const uint32_t serial = it->second.entry.info.SerialNumber;
    auto bySerial = m_foundBySerial.find(serial);
    if (bySerial != m_foundBySerial.end() && bySerial->second == address) {
        m_foundBySerial.erase(bySerial);
    }
    m_found.erase(it);
    m_registry->RemovePingAddress(address);
}

CTranscoderConfigurator::FoundTranscoder* CTranscoderConfigurator::FindFound(
    const TranscoderAddress& address) {
    auto it = m_found.find(address);
    return it == m_found.end() ? nullptr : &it->second;
}

CTranscoderConfigurator::FoundTranscoder* CTranscoderConfigurator::FindFoundBySerial(
    uint32_t serial) {
    auto it = m_foundBySerial.find(serial);
    return it == m_foundBySerial.end() ? nullptr : FindFound(it->second);
}

const CTranscoderConfigurator::FoundTranscoder* CTranscoderConfigurator::FindFoundBySerial(
    uint32_t serial) const {
    auto it = m_foundBySerial.find(serial);
    if (it == m_foundBySerial.end()) {
        return nullptr;
    }
    auto found = m_found.find(it->second);
    return found == m_found.end() ? nullptr : &found->second;
}

}  // namespace zorv
