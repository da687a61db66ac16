// The configurator's operations: search, registrations, requests and the
// services it gives to the data flows.
#include <array>

#include "transcoders/TranscoderConfigurator.h"
#include "transcoders/TranscoderSocket.h"

namespace zorv {

namespace {

// A waiting caller gives up on its own only if the tick never completes the
// request (the tick gives up after six seconds).
constexpr std::chrono::seconds kAwaitLimit{15};

// Transcoder lines come in groups of up to six.
constexpr uint32_t kLinesPerGroup = 6;

}  // namespace

uint16_t CTranscoderConfigurator::ShellPort() const {
    CScopedLock lock(m_lock);
    return m_registry != nullptr ? m_registry->ShellPort() : kDefaultShellPort;
}

// Search.

void CTranscoderConfigurator::startTranscodersSearch() {
    CScopedLock lock(m_lock);
    m_searchCycles = 0;
    m_searchActive = true;
}

void CTranscoderConfigurator::stopTranscodersSearch() {
    CScopedLock lock(m_lock);
    m_searchCycles = 0;
    m_searchActive = false;
}

bool CTranscoderConfigurator::getTranscodersSearchStatus() const {
    CScopedLock lock(m_lock);
    return m_searchActive;
}

uint32_t CTranscoderConfigurator::getFoundTranscodersCount() const {
    CScopedLock lock(m_lock);
    return static_cast<uint32_t>(m_found.size());
}

std::vector<tagTranscoderEntry> CTranscoderConfigurator::getFoundTranscodersList() const {
    CScopedLock lock(m_lock);
    std::vector<tagTranscoderEntry> list;
    list.reserve(m_found.size());
    for (const auto& [address, found] : m_found) {
        list.push_back(found.entry);
    }
    return list;
}

// Start flags and flows.

bool CTranscoderConfigurator::startTranscoder(uint32_t serial) {
    std::optional<FlowStart> start;
    {
        CScopedLock lock(m_lock);
        RegisteredTranscoder* registered =
            m_registry != nullptr ? m_registry->FindBySerial(serial) : nullptr;
        if (registered == nullptr) {
            return false;
        }
        m_registry->SetStarted(serial, true);
        const FoundTranscoder* found = FindFoundBySerial(serial);
        if (found != nullptr && registered->flow != nullptr) {
            start = FlowStart{registered->flow,
                              found->entry.info,
                              registered->stored.tsPort,
                              registered->stored.dataPort,
                              found->address,
                              found->entry.config.Protocol,
                              FieldText(registered->stored.Password),
                              FieldText(found->entry.config.Description)};
        }
    }
    if (start) {
        m_journal.FormatJournal(kJournalInfo, Msg{313}, DottedAddress(start->address.ip));
        StartFlow(*start, serial);
    }
    return true;
}

bool CTranscoderConfigurator::FlowRegistered(uint32_t serial, const CTranscoderFlow* flow) const {
    CScopedLock lock(m_lock);
    const RegisteredTranscoder* registered =
        m_registry != nullptr ? m_registry->FindBySerial(serial) : nullptr;
    return registered != nullptr && flow != nullptr && registered->flow == flow;
}

void CTranscoderConfigurator::StartFlow(const FlowStart& start, uint32_t serial) {
    const std::string host = DottedAddress(start.address.ip);
    std::lock_guard calls(m_flowCalls);
    if (!FlowRegistered(serial, start.flow)) {
        return;  // its device went meanwhile
    }
    if (start.flow->Start(start.identity, start.portA, start.portB, start.address, start.protocol,
                          start.password)) {
        m_journal.FormatJournal(kJournalInfo, Msg{312}, host);
        return;
    }
    m_journal.FormatJournal(kJournalError, Msg{311}, host);
    CScopedLock lock(m_lock);
    if (m_registry != nullptr) {
        m_registry->SetStarted(serial, false);
    }
}

bool CTranscoderConfigurator::stopTranscoder(uint32_t serial) {
    CTranscoderFlow* flow = nullptr;
    TranscoderAddress address;
    bool datagramKind = false;
    {
        CScopedLock lock(m_lock);
        RegisteredTranscoder* registered =
            m_registry != nullptr ? m_registry->FindBySerial(serial) : nullptr;
        if (registered == nullptr) {
            return false;
        }
        m_registry->SetStarted(serial, false);
        flow = registered->flow;
        address = TranscoderAddress{registered->stored.tsAddr, registered->stored.tsPort};
        datagramKind = registered->stored.deviceClass == kDatagramTranscoder;
    }
    const std::string host = DottedAddress(address.ip);
    m_journal.FormatJournal(kJournalInfo, Msg{314}, host);
    {
        std::lock_guard calls(m_flowCalls);
        if (FlowRegistered(serial, flow)) {
            flow->Stop();
        }
    }
    m_journal.FormatJournal(kJournalInfo, Msg{315}, host);
    if (datagramKind) {
        RequestHandle stop = SendDeviceCommand(address, TCMD_STOP, 0, 0);
        if (Await(stop) == RequestResult::kSuccess) {
            m_journal.FormatJournal(kJournalInfo, Msg{316}, host);
        } else {
            m_journal.FormatJournal(kJournalError, Msg{317}, host);
        }
    }
    return true;
}

bool CTranscoderConfigurator::getTranscoderStatistic(uint32_t serial,
                                                     tagTranscoderStatistic& statistic) const {
    CTranscoderFlow* flow = nullptr;
    {
        CScopedLock lock(m_lock);
        const RegisteredTranscoder* registered =
            m_registry != nullptr ? m_registry->FindBySerial(serial) : nullptr;
        if (registered == nullptr || registered->flow == nullptr) {
            return false;
        }
        flow = registered->flow;
    }
    std::lock_guard calls(m_flowCalls);
    const tagTranscoderStatistic* current =
        FlowRegistered(serial, flow) ? flow->GetStatistics() : nullptr;
    if (current == nullptr) {
        return false;
    }
    statistic = *current;
    return true;
}

void CTranscoderConfigurator::RegisterFlow(uint32_t serial, CTranscoderFlow* flow) {
    std::lock_guard calls(m_flowCalls);  // waits for a call into the flow it replaces
    CScopedLock lock(m_lock);
    if (m_registry == nullptr) {
        return;
    }
    if (RegisteredTranscoder* registered = m_registry->FindBySerial(serial)) {
        registered->flow = flow;
    }
}

// Configuration of found transcoders.

RequestResult CTranscoderConfigurator::getTranscoderConfig(uint32_t serial,
                                                           const std::string& password,
                                                           DeviceConfig& config) {
    RequestHandle handle;
    TranscoderAddress address;
    {
        CScopedLock lock(m_lock);
        FoundTranscoder* found = FindFoundBySerial(serial);
        if (found == nullptr) {
            return RequestResult::kNoTranscoder;
        }
        if (found->layout == TranscoderLayout::kNet2Scan) {
            handle = nullptr;  // read through the shell below, without the lock
        } else {
            TranscoderRequest request;
            request.code = kRequestGetConfig;
            request.password = password;
            handle = SendRequest(*found, std::move(request));
        }
        address = found->address;
    }
    if (handle == nullptr) {
        return ReadNet2Configuration(serial, password, config);
    }
    const RequestResult result = Await(handle);
    if (result == RequestResult::kSuccess) {
        CScopedLock lock(m_lock);
        FoundTranscoder* found = FindFound(address);
        if (found == nullptr) {
            return RequestResult::kNoTranscoder;
        }
        config = found->entry.config;
    }
    return result;
}

RequestResult CTranscoderConfigurator::setTranscoderConfig(uint32_t serial,
                                                           const DeviceConfig& config) {
    RequestHandle handle;
    {
        CScopedLock lock(m_lock);
        FoundTranscoder* found = FindFoundBySerial(serial);
        if (found == nullptr) {
            return RequestResult::kNoTranscoder;
        }
        if (found->layout != TranscoderLayout::kNet2Scan) {
            TranscoderRequest request;
            request.code = kRequestSetConfig;
            request.config = config;
            handle = SendRequest(*found, std::move(request));
        }
    }
    if (handle == nullptr) {
        return WriteNet2Configuration(serial, config);
    }
    return Await(handle);
}

// Device commands.

RequestHandle CTranscoderConfigurator::SendDeviceCommand(const TranscoderAddress& address,
                                                         uint8_t code, uint32_t param1,
                                                         uint32_t param2) {
    CScopedLock lock(m_lock);
    FoundTranscoder* found = FindFound(address);
    if (found == nullptr) {
        return CompletedRequest(RequestResult::kNoTranscoder);
    }
    TranscoderRequest request;
    request.code = code;
    request.param1 = param1;
    request.param2 = param2;
    const RegisteredTranscoder* registered =
        m_registry->FindBySerial(found->entry.info.SerialNumber);
    if (registered != nullptr) {
        request.password = FieldText(registered->stored.Password);
    }
    return SendRequest(*found, std::move(request));
}

RequestHandle CTranscoderConfigurator::EnableGroup(const TranscoderAddress& address, uint32_t group,
                                                   bool on) {
    uint32_t mask = 0;
    {
        CScopedLock lock(m_lock);
        FoundTranscoder* found = FindFound(address);
        if (found == nullptr) {
            return CompletedRequest(RequestResult::kNoTranscoder);
        }
        const uint32_t groups = (found->entry.info.Channels + kLinesPerGroup - 1) / kLinesPerGroup;
        if (group >= groups) {
            return CompletedRequest(RequestResult::kRefused);
        }
        const uint32_t bit = 1u << group;
        found->enabledGroups = on ? (found->enabledGroups | bit) : (found->enabledGroups & ~bit);
        if (!found->started) {
            return CompletedRequest(RequestResult::kSuccess);
        }
        mask = found->enabledGroups;
    }
    return SendDeviceCommand(address, TCMD_ENABLE_GROUP, 0, mask);
}

uint32_t CTranscoderConfigurator::PresenceState(const TranscoderAddress& address) const {
    CScopedLock lock(m_lock);
    auto it = m_found.find(address);
    return it == m_found.end() ? kPresenceUnknown : it->second.entry.polling_state;
}

RequestHandle CTranscoderConfigurator::SendRequest(FoundTranscoder& found,
                                                   TranscoderRequest request) {
    request.completion = std::make_shared<CRequestCompletion>();
    // The earlier layout has no sequence number: its requests all use 0.
    request.sequence = found.layout == TranscoderLayout::kEarlier
                           ? uint16_t{0}
                           : static_cast<uint16_t>(found.lastSequence + 1);
    found.lastSequence = request.sequence;
    request.sentAt = m_clock.SteadyNow();
    RequestHandle handle = request.completion;
    if (!SendPacket(found, request)) {
        handle->Complete(RequestResult::kSendFailed);
        return handle;
    }
    auto [it, inserted] = found.requests.try_emplace(request.sequence);
    if (!inserted) {
        it->second.completion->Complete(RequestResult::kNoAnswer);  // replaced
    }
    it->second = std::move(request);
    return handle;
}

bool CTranscoderConfigurator::SendPacket(const FoundTranscoder& found,
                                         const TranscoderRequest& request) {
    TranscoderPacket packet;
    // The NET2 kind's scan-answer layout carries no requests: they go in the
    // current layout.
    packet.layout =
        found.layout == TranscoderLayout::kNet2Scan ? TranscoderLayout::kCurrent : found.layout;
    packet.sequence = request.sequence;
    packet.info = found.entry.info;
    switch (request.code) {
        case kRequestGetConfig:
            packet.type = FC_GET_CONFIG;
            packet.config = found.entry.config;
            SetFieldText(packet.config.CurrPassword, request.password);
            break;
        case kRequestSetConfig:
            packet.type = FC_SET_CONFIG;
            packet.config = request.config;
            break;
        default:
            packet.type = FC_DEV_SETTINGS;
            packet.config = found.entry.config;
            SetFieldText(packet.config.CurrPassword, request.password);
            packet.command = static_cast<uint8_t>(request.code);
            packet.param1 = request.param1;
            packet.param2 = request.param2;
            break;
    }
    return SendTo(packet, found.address);
}

RequestResult CTranscoderConfigurator::Await(const RequestHandle& handle) {
    return handle->WaitFor(kAwaitLimit).value_or(RequestResult::kNoAnswer);
}

// AON request settings.

bool CTranscoderConfigurator::getAonForm(uint32_t serial, uint32_t& level, uint32_t& form) const {
    CScopedLock lock(m_lock);
    const RegisteredTranscoder* registered =
        m_registry != nullptr ? m_registry->FindBySerial(serial) : nullptr;
    if (registered == nullptr) {
        return false;
    }
    level = registered->aonLevel;
    form = registered->aonForm;
    return true;
}

bool CTranscoderConfigurator::setAonForm(uint32_t serial, uint32_t level, uint32_t form) {
    CScopedLock lock(m_lock);
    return m_registry != nullptr && m_registry->SetAonForm(serial, level, form);
}

// Broadcast ports and polled addresses.

bool CTranscoderConfigurator::addConfigPort(uint16_t port) {
    CScopedLock lock(m_lock);
    return m_registry != nullptr && m_registry->AddPingPort(port);
}

bool CTranscoderConfigurator::delConfigPort(uint16_t port) {
    CScopedLock lock(m_lock);
    return m_registry != nullptr && m_registry->RemovePingPort(port);
}

uint32_t CTranscoderConfigurator::getCountConfigPorts() const {
    CScopedLock lock(m_lock);
    return m_registry != nullptr ? static_cast<uint32_t>(m_registry->PingPorts().size()) : 0;
}

bool CTranscoderConfigurator::getConfigPort(uint32_t index, uint16_t& port) const {
    CScopedLock lock(m_lock);
    if (m_registry == nullptr || index >= m_registry->PingPorts().size()) {
        return false;
    }
    port = m_registry->PingPorts()[index];
    return true;
}

bool CTranscoderConfigurator::addStaticAddress(const TranscoderAddress& address) {
    CScopedLock lock(m_lock);
    return m_registry != nullptr && address.ip != 0 && m_registry->AddPingAddress(address);
}

bool CTranscoderConfigurator::delStaticAddress(const TranscoderAddress& address) {
    CScopedLock lock(m_lock);
    return m_registry != nullptr && m_registry->RemovePingAddress(address);
}

uint32_t CTranscoderConfigurator::getCountStaticAddress() const {
    CScopedLock lock(m_lock);
    return m_registry != nullptr ? static_cast<uint32_t>(m_registry->PingAddresses().size()) : 0;
}

bool CTranscoderConfigurator::getStaticAddress(uint32_t index, TranscoderAddress& address) const {
    CScopedLock lock(m_lock);
    if (m_registry == nullptr || index >= m_registry->PingAddresses().size()) {
        return false;
    }
    address = m_registry->PingAddresses()[index];
    return true;
}

// Registrations.

std::optional<RegistryPlace> CTranscoderConfigurator::addNetDevice(
    uint32_t position, const tagStoredTranscoderConfig& config) {
    CScopedLock lock(m_lock);
    return m_registry != nullptr ? m_registry->Add(position, config) : std::nullopt;
}

std::optional<RegistryPlace> CTranscoderConfigurator::removeNetDevice(uint32_t serial) {
    CScopedLock lock(m_lock);
    return m_registry != nullptr ? m_registry->Remove(serial) : std::nullopt;
}

std::optional<RegistryPlace> CTranscoderConfigurator::reposNetDevice(uint32_t position,
                                                                     uint32_t newPosition) {
    CScopedLock lock(m_lock);
    return m_registry != nullptr ? m_registry->Reposition(position, newPosition) : std::nullopt;
}

uint32_t CTranscoderConfigurator::getCountNetDevice() const {
    CScopedLock lock(m_lock);
    return m_registry != nullptr ? static_cast<uint32_t>(m_registry->Transcoders().size()) : 0;
}

bool CTranscoderConfigurator::getConfigNetDevice(uint32_t position,
                                                 tagStoredTranscoderConfig& config) const {
    CScopedLock lock(m_lock);
    if (m_registry == nullptr || position >= m_registry->Transcoders().size()) {
        return false;
    }
    config = m_registry->Transcoders()[position].stored;
    return true;
}

std::optional<RegistryPlace> CTranscoderConfigurator::setConfigNetDevice(
    uint32_t serial, const tagStoredTranscoderConfig& config, uint32_t flags) {
    CScopedLock lock(m_lock);
    return m_registry != nullptr ? m_registry->Replace(serial, config, flags) : std::nullopt;
}

}  // namespace zorv
