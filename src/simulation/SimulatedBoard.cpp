#include "simulation/SimulatedBoard.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/AutoResetEvent.h"
#include "storage/WaveFormat.h"

namespace zorv {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kMaxLog = 65536;
constexpr std::size_t kMaxAnswerBytes = 65536;
constexpr std::size_t kMaxWarnings = 100;
constexpr auto kRealTimeTick = std::chrono::milliseconds{10};
constexpr int kNarrowRecordSamples = 6;
constexpr int kWideRecordSamples = 12;

// The LineParams byte a parameter write command stores; -1 for any other.
int WriteCommandField(int command) {
    for (const LineParamField& field : kLineParamFields) {
        if (command == Code(field.write)) {
            return static_cast<int>(field.offset);
        }
    }
    return -1;
}

// The LineParams byte a parameter read command reports; -1 for any other.
int ReadCommandField(int command) {
    for (const LineParamField& field : kLineParamFields) {
        if (command == Code(field.read)) {
            return static_cast<int>(field.offset);
        }
    }
    return -1;
}

void PutLe32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void PutLe16(uint8_t* p, int16_t value) {
    const auto v = static_cast<uint16_t>(value);
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

bool IsStateFault(SimFaultKind kind) {
    return kind != SimFaultKind::Garbage && kind != SimFaultKind::BadGroupAudio &&
           kind != SimFaultKind::BadGroupEvent && kind != SimFaultKind::Raw;
}

template <typename T>
void PushBounded(std::deque<T>& log, T item) {
    if (log.size() == kMaxLog) {
        log.pop_front();
    }
    log.push_back(item);
}

}  // namespace

CSimulatedBoard::CSimulatedBoard(SimBoardConfig config, Clock clock, IClock& takeClock)
    : m_config(std::move(config)),
      m_clock(clock),
      m_takeClock(takeClock),
      m_layout(BoardLayout::Decode(m_config.infoWord)),
      m_recordLength(m_layout.AudioRecordLength()) {
    m_lines.reserve(kSimMaxChannels);
    for (const SimChannel& channel : m_config.channels) {
        m_lines.emplace_back(channel);
    }
    // Faults that are states rather than bytes hold from power-up when
    // their time is 0.
    for (const SimFault& fault : m_config.faults) {
        if (fault.timeMs <= 0 && IsStateFault(fault.kind)) {
            ApplyFault(fault);
        }
    }
    if (m_clock == Clock::RealTime) {
        m_lastTick = SteadyClock::now();
        m_thread = std::thread([this] { RealTimeLoop(); });
    }
}

CSimulatedBoard::~CSimulatedBoard() {
    {
        std::lock_guard lock(m_lock);
        m_stopThread = true;
        m_dataEvent = nullptr;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool CSimulatedBoard::OpenHandle() {
    std::lock_guard lock(m_lock);
    if (m_handleOpen) {
        return false;
    }
    m_handleOpen = true;
    return true;
}

void CSimulatedBoard::CloseHandle() {
    std::lock_guard lock(m_lock);
    m_handleOpen = false;
    m_transferring = false;
    m_dataEvent = nullptr;
    m_mapped = false;
}

bool CSimulatedBoard::Control(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                              std::size_t& outLength) {
    std::lock_guard lock(m_lock);
    outLength = 0;
    PushBounded(m_controlLog, code);
    if (std::find(m_config.refusedControls.begin(), m_config.refusedControls.end(), code) !=
        m_config.refusedControls.end()) {
        return false;
    }
    switch (code) {
        case kIoctlMapRegisters: {
            if (out.size() < 8) {
                return false;
            }
            const auto index = static_cast<uint32_t>(m_config.index);
            PutLe32(out.data(), 0x00F00001 | ((index & 0xFF) << 4));
            PutLe32(out.data() + 4, 0xFEB00000 + (index & 0xFF) * 0x1000);
            outLength = 8;
            m_mapped = true;
            return true;
        }
        case kIoctlStartTransfer:
            if (in.size() != 8 && in.size() != 16) {
                return false;
            }
            m_transferSize = LoadLe32(in.data());
            m_transferring = true;
            m_stream.clear();
            m_readOffset = 0;
            for (Group& group : m_groups) {
                group.dealt = 0;
            }
            m_lastTick = SteadyClock::now();
            return true;
        case kIoctlStopTransfer:
            m_transferring = false;
            return true;
        case kIoctlReadHardwareConfig: {
            if (out.size() < sizeof(tagHARDWARE_CONFIG)) {
                return false;
            }
            tagHARDWARE_CONFIG hw = m_config.hardwareConfig;
            if (hw.BoardID == 0) {
                hw.BoardID = m_config.infoWord;
            }
            if (hw.DeviceType == 0) {
                hw.DeviceType = m_config.deviceName == "VeskoPCIDevice" ? 2 : 1;
            }
            std::memcpy(out.data(), &hw, sizeof hw);
            outLength = sizeof hw;
            return true;
        }
        case kIoctlSetSwitch:
            return SetSwitchHeld(in);
        default:
            return false;
    }
}

bool CSimulatedBoard::SetSwitchHeld(std::span<const uint8_t> in) {
    if (in.size() != 12) {
        return false;
    }
    const uint32_t a = LoadLe32(in.data());
    const uint32_t kind = LoadLe32(in.data() + 4);
    const uint32_t value = LoadLe32(in.data() + 8);
    if (kind == 0 && a < 2 * kMaxGroups) {
        if (value != 0) {
            m_enableMask |= 1u << a;
        } else {
            m_enableMask &= ~(1u << a);
        }
        return true;
    }
    if (kind == 1 && a < m_outputSwitch.size()) {
        m_outputSwitch[a] = static_cast<uint8_t>(value);
        return true;
    }
    return false;
}

bool CSimulatedBoard::Read(void* buffer, std::size_t size, std::size_t& bytesRead) {
    std::lock_guard lock(m_lock);
    bytesRead = 0;
    if (m_readErrors > 0) {
        --m_readErrors;
        return false;
    }
    const std::size_t n = std::min(size, m_stream.size() - m_readOffset);
    if (n > 0) {
        std::memcpy(buffer, m_stream.data() + m_readOffset, n);
    }
    m_readOffset += n;
    bytesRead = n;
    if (m_readOffset == m_stream.size()) {
        m_stream.clear();
        m_readOffset = 0;
    } else if (m_readOffset > (1u << 20) && m_readOffset > m_stream.size() / 2) {
        m_stream.erase(m_stream.begin(),
                       m_stream.begin() + static_cast<std::ptrdiff_t>(m_readOffset));
        m_readOffset = 0;
    }
    return true;
}

bool CSimulatedBoard::Write(const void*, std::size_t size, std::size_t& bytesWritten) {
    std::lock_guard lock(m_lock);
    bytesWritten = 0;
    if (!m_transferring) {
        return false;
    }
    bytesWritten = size;
    m_bytesWritten += size;
    return true;
}

uint32_t CSimulatedBoard::ReadRegister(int word) {
    std::lock_guard lock(m_lock);
    if (!m_mapped) {
        return 0xFFFFFFFF;
    }
    switch (word) {
        case kRegisterData:
            return m_dataWord;
        case kRegisterCommand:
            return StatusHeld();
        case kRegisterInfo:
            return m_config.infoWord;
        default:
            return 0xFFFFFFFF;
    }
}

void CSimulatedBoard::WriteRegister(int word, uint32_t value) {
    std::lock_guard lock(m_lock);
    if (!m_mapped) {
        return;
    }
    if (word == kRegisterData) {
        m_dataWord = value;
    } else if (word == kRegisterCommand) {
        PushBounded(m_commandLog, CommandWrite{m_dataWord, value});
        ExecuteCommand(value);
    }
}

void CSimulatedBoard::SetDataEvent(CAutoResetEvent* event) {
    std::lock_guard lock(m_lock);
    m_dataEvent = event;
}

uint32_t CSimulatedBoard::StatusHeld() {
    uint32_t status = 0;
    if (m_selectedGroup >= 0) {
        Converter& converter = m_groups[static_cast<std::size_t>(m_selectedGroup)].converter;
        if (converter.stuck) {
            status |= kStatusConverterBusy;
        } else if (converter.busyReads > 0) {
            status |= kStatusConverterBusy;
            --converter.busyReads;
        }
    }
    const auto now = m_takeClock.SteadyNow();
    for (int g = 0; g < kMaxGroups; ++g) {
        Mailbox& mailbox = m_groups[static_cast<std::size_t>(g)].mailbox;
        if (!mailbox.full) {
            continue;
        }
        if (!ProcessorSilent(g) && mailbox.readsSeen >= m_config.commandTakeReads &&
            now - mailbox.writtenAt >= std::chrono::milliseconds{m_config.commandTakeMs}) {
            TakeCommand(g);
            continue;
        }
        ++mailbox.readsSeen;
        status |= kStatusMailboxGroup0 << g;
    }
    return status;
}

bool CSimulatedBoard::ProcessorSilent(int group) const {
    return m_nowMs < m_groups[static_cast<std::size_t>(group)].silentUntilMs;
}

void CSimulatedBoard::ExecuteCommand(uint32_t code) {
    const uint32_t data = m_dataWord;
    Group* selected =
        m_selectedGroup >= 0 ? &m_groups[static_cast<std::size_t>(m_selectedGroup)] : nullptr;
    if (code >= kCommandChannelGroup0 && code < kCommandChannelGroup0 + kMaxGroups) {
        const int g = static_cast<int>(code - kCommandChannelGroup0);
        Mailbox& mailbox = m_groups[static_cast<std::size_t>(g)].mailbox;
        if (mailbox.full) {
            Warn(fmt::format("group {}: channel command {:#x} overwrote {:#x} before it was taken",
                             g, data, mailbox.word));
        }
        mailbox = Mailbox{true, data, 0, m_takeClock.SteadyNow()};
        if (m_config.commandTakeReads == 0 && m_config.commandTakeMs == 0 && !ProcessorSilent(g)) {
            TakeCommand(g);
        }
        return;
    }
    if (code >= kCommandWithdrawGroup0 && code < kCommandWithdrawGroup0 + kMaxGroups) {
        m_groups[code - kCommandWithdrawGroup0].mailbox = Mailbox{};
        return;
    }
    switch (code) {
        case kCommandResetBoard:
            ResetHeld();
            break;
        case kCommandConverterWord:
            if (selected != nullptr) {
                Converter& converter = selected->converter;
                converter.incoming[static_cast<std::size_t>(converter.wordCount++)] =
                    static_cast<uint16_t>(data);
                if (converter.wordCount == 8) {
                    converter.wordCount = 0;
                    converter.words = converter.incoming;
                    ++converter.writes;
                    converter.busyReads = m_config.converterBusyReads;
                    if (const uint32_t rate = ConverterRateHz(converter.words[0])) {
                        converter.rateHz = rate;
                    } else {
                        Warn(fmt::format("group {}: unknown rate code {:#x}", m_selectedGroup,
                                         converter.words[0]));
                    }
                }
            }
            break;
        case kCommandConverterReset:
            if (selected != nullptr) {
                selected->converter.wordCount = 0;
            }
            break;
        case kCommandSelectGroup:
            m_selectedGroup = data < kMaxGroups ? static_cast<int>(data) : -1;
            break;
        case kCommandEnableMask:
            m_enableMask = data & 0x3F;
            break;
        case kCommandResync:
            ++m_resyncs;
            break;
        case kCommandRequestSample: {
            const uint32_t j = data >> 16;
            if (selected != nullptr && j < selected->requestSignal.size()) {
                selected->requestSignal[j] = static_cast<int16_t>(data & 0xFFFF);
                ++selected->requestSamples;
            }
            break;
        }
        default:
            Warn(fmt::format("unknown command {:#x}", code));
            break;
    }
}

void CSimulatedBoard::TakeCommand(int g) {
    Group& group = m_groups[static_cast<std::size_t>(g)];
    const uint32_t word = group.mailbox.word;
    group.mailbox = Mailbox{};
    const int c = static_cast<int>((word >> 16) & 7);
    const int command = static_cast<int>((word >> 8) & 0xFF);
    const int value = static_cast<int>(word & 0xFF);
    if (c >= m_layout.groupChannels[g]) {
        return;  // no such channel: the processor drops it
    }
    const int channel = m_layout.groupFirst[g] + c;
    CSimulatedLine& line = m_lines[static_cast<std::size_t>(channel)];
    PushBounded(m_takenCommands, TakenCommand{channel, command, value});
    auto answer = [&](int code, uint8_t byte) {
        if (group.answers.size() + 4 <= kMaxAnswerBytes) {
            const uint8_t record[kEventRecordLength] = {EventRecordHeader(g, c), kRecordMark, byte,
                                                        static_cast<uint8_t>(code)};
            group.answers.insert(group.answers.end(), record, record + 4);
        }
    };
    if (const int field = WriteCommandField(command); field >= 0) {
        line.StoreParam(field, static_cast<uint8_t>(value));
        return;
    }
    if (const int field = ReadCommandField(command); field >= 0) {
        answer(command, line.Param(field));
        return;
    }
    switch (static_cast<DspCommand>(command)) {
        case DspCommand::Polarity:
            line.SetPolarityCommand(value);
            break;
        case DspCommand::RequestStatus:
            answer(Code(DspEvent::Status), m_config.statusByte[static_cast<std::size_t>(g)]);
            break;
        case DspCommand::RequestVersion:
            answer(Code(DspEvent::Version), m_config.versionByte[static_cast<std::size_t>(g)]);
            break;
        case DspCommand::Monitor:
            line.SetMonitor(value != 0);
            break;
        case DspCommand::Key:
            if (value == Code(DspKeyValue::TestPulse)) {
                line.StartTestPulse(m_nowMs);
            } else if (value == Code(DspKeyValue::InitialiseOff) ||
                       value == Code(DspKeyValue::InitialiseOn)) {
                line.Initialise();  // the PCI family's form of Initialise
            } else {
                line.SetKey(value);
            }
            break;
        case DspCommand::Initialise:
            line.Initialise();
            break;
        default:
            break;
    }
}

void CSimulatedBoard::ResetHeld() {
    ++m_resets;
    m_enableMask = 0;
    m_selectedGroup = 0;
    for (Group& group : m_groups) {
        group.converter.wordCount = 0;
        group.converter.busyReads = 0;
        group.mailbox = Mailbox{};
        group.answers.clear();
        group.dealt = 0;
    }
    for (CSimulatedLine& line : m_lines) {
        line.Initialise();
    }
}

void CSimulatedBoard::ApplyFault(const SimFault& fault) {
    switch (fault.kind) {
        case SimFaultKind::Garbage:
        case SimFaultKind::Raw:
            Append(fault.bytes.data(), fault.bytes.size());
            break;
        case SimFaultKind::BadGroupAudio: {
            std::array<uint8_t, kLongAudioRecordLength> record{};
            record[0] = 0x03;
            record[1] = kRecordMark;
            Append(record.data(), m_recordLength);
            break;
        }
        case SimFaultKind::BadGroupEvent: {
            const uint8_t record[kEventRecordLength] = {EventRecordHeader(3, 0), kRecordMark, 0,
                                                        Code(DspEvent::Line)};
            Append(record, sizeof record);
            break;
        }
        case SimFaultKind::Stall:
            m_stallUntilMs = m_nowMs + fault.amount;
            break;
        case SimFaultKind::ReadError:
            m_readErrors += fault.amount;
            break;
        case SimFaultKind::SilentGroup:
            m_groups[static_cast<std::size_t>(fault.group)].silentUntilMs =
                fault.amount > 0 ? m_nowMs + fault.amount : std::numeric_limits<int64_t>::max();
            break;
        case SimFaultKind::ConverterStuck:
            m_groups[static_cast<std::size_t>(fault.group)].converter.stuck = true;
            break;
    }
}

void CSimulatedBoard::Append(const uint8_t* bytes, std::size_t size) {
    if (m_stream.size() - m_readOffset + size > kMaxBuffered) {
        m_lostBytes += size;
        return;
    }
    m_stream.insert(m_stream.end(), bytes, bytes + size);
    m_appended = true;
}

void CSimulatedBoard::AppendEvent(int group, int channelInGroup, uint8_t code, uint8_t value) {
    const uint8_t record[kEventRecordLength] = {EventRecordHeader(group, channelInGroup),
                                                kRecordMark, value, code};
    Append(record, sizeof record);
}

void CSimulatedBoard::GenerateAudio(int g) {
    Group& group = m_groups[static_cast<std::size_t>(g)];
    const uint32_t rate = group.converter.rateHz;
    const int count = m_layout.groupChannels[g];
    const int first = m_layout.groupFirst[g];
    const int64_t periods = rate / 1000;
    const int64_t base = m_nowMs * periods;
    for (int64_t k = 0; k < periods; ++k) {
        const int64_t index = base + k;
        if (m_recordLength == kShortAudioRecordLength) {
            uint8_t record[kShortAudioRecordLength] = {static_cast<uint8_t>(g), kRecordMark};
            for (int c = 0; c < count && c < kNarrowRecordSamples; ++c) {
                PutLe16(record + 2 + 2 * c,
                        m_lines[static_cast<std::size_t>(first + c)].Sample(index, rate));
            }
            Append(record, sizeof record);
            continue;
        }
        // Each record is dealt from the group's first channel: whole rounds
        // of sample periods, then the start of the next period, which the
        // next record deals again whole.
        const int rounds = kWideRecordSamples / count;
        for (int c = 0; c < count; ++c) {
            PutLe16(group.record.data() + 2 + 2 * (group.dealt * count + c),
                    m_lines[static_cast<std::size_t>(first + c)].Sample(index, rate));
        }
        if (++group.dealt == rounds) {
            for (int k = rounds * count; k < kWideRecordSamples; ++k) {
                PutLe16(group.record.data() + 2 + 2 * k,
                        m_lines[static_cast<std::size_t>(first + k - rounds * count)].Sample(
                            index + 1, rate));
            }
            group.record[0] = static_cast<uint8_t>(g);
            group.record[1] = kRecordMark;
            Append(group.record.data(), group.record.size());
            group.dealt = 0;
        }
    }
    for (int c = 0; c < count; ++c) {
        if (m_lines[static_cast<std::size_t>(first + c)].RateMismatch()) {
            const SimAudio& audio = m_config.channels[static_cast<std::size_t>(first + c)].audio;
            Warn(
                fmt::format("channel {}: {} is at {} Hz but group {} samples at {} Hz: the line "
                            "is silent",
                            first + c, audio.wavPath, audio.wavRate, g, rate));
        }
    }
}

void CSimulatedBoard::StepMs() {
    while (m_nextFault < m_config.faults.size() && m_config.faults[m_nextFault].timeMs <= m_nowMs) {
        const SimFault& fault = m_config.faults[m_nextFault++];
        if (fault.timeMs > 0 || !IsStateFault(fault.kind)) {
            ApplyFault(fault);
        }
    }
    // The processors and converters work on their own as time passes.
    const auto now = m_takeClock.SteadyNow();
    for (int g = 0; g < kMaxGroups; ++g) {
        Group& group = m_groups[static_cast<std::size_t>(g)];
        group.converter.busyReads = 0;
        if (group.mailbox.full && !ProcessorSilent(g) &&
            now - group.mailbox.writtenAt >= std::chrono::milliseconds{m_config.commandTakeMs}) {
            TakeCommand(g);
        }
    }
    if (m_nowMs < m_stallUntilMs) {
        ++m_nowMs;
        return;
    }
    for (int g = 0; g < kMaxGroups; ++g) {
        Group& group = m_groups[static_cast<std::size_t>(g)];
        const bool running = (m_enableMask & (2u << (2 * g))) != 0;
        const bool speaking = running && !ProcessorSilent(g);
        for (int c = 0; c < m_layout.groupChannels[g]; ++c) {
            CSimulatedLine& line = m_lines[static_cast<std::size_t>(m_layout.groupFirst[g] + c)];
            m_dueScratch.clear();
            line.TakeDueEvents(m_nowMs, m_config.repeatMs, m_dueScratch);
            for (const SimLineEvent& event : m_dueScratch) {
                if (!speaking) {
                    continue;  // the line changes, nobody hears of it
                }
                AppendEvent(g, c, event.code, event.value);
                if (event.code == Code(DspEvent::Line) && line.Monitor()) {
                    AppendEvent(g, c, Code(DspEvent::Monitor), event.value);
                }
            }
        }
        // A working processor reports its group now and then (a group event
        // 24), so the host's watchdog knows it is alive even on quiet lines.
        if (speaking && m_layout.groupChannels[g] > 0 && m_config.heartbeatMs > 0 &&
            m_nowMs % m_config.heartbeatMs == 0) {
            AppendEvent(g, kGroupEventField, Code(DspEvent::Monitor),
                        m_config.statusByte[static_cast<std::size_t>(g)]);
        }
        if (ProcessorSilent(g)) {
            group.answers.clear();
        } else if (speaking && !group.answers.empty()) {
            Append(group.answers.data(), group.answers.size());
            group.answers.clear();
        }
        const bool streaming = running && (m_enableMask & (1u << (2 * g))) != 0;
        if (streaming && m_layout.groupChannels[g] > 0) {
            GenerateAudio(g);
        }
    }
    ++m_nowMs;
}

void CSimulatedBoard::RunFor(int64_t ms) {
    if (!m_transferring) {
        return;
    }
    m_appended = false;
    for (int64_t i = 0; i < ms; ++i) {
        StepMs();
    }
    if (m_appended && m_dataEvent != nullptr) {
        m_dataEvent->Set();
    }
}

void CSimulatedBoard::Advance(int64_t ms) {
    if (m_clock != Clock::Virtual) {
        return;
    }
    std::lock_guard lock(m_lock);
    RunFor(ms);
}

void CSimulatedBoard::RealTimeLoop() {
    std::unique_lock lock(m_lock);
    while (!m_stopThread) {
        m_wake.wait_for(lock, kRealTimeTick, [this] { return m_stopThread; });
        if (m_stopThread) {
            break;
        }
        const auto now = SteadyClock::now();
        if (!m_transferring) {
            m_lastTick = now;
            continue;
        }
        int64_t ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - m_lastTick).count();
        if (ms <= 0) {
            continue;
        }
        if (ms > kMaxCatchUpMs) {
            ms = kMaxCatchUpMs;  // the board was not scheduled for long: that time is skipped
            m_lastTick = now;
        } else {
            m_lastTick += std::chrono::milliseconds{ms};
        }
        RunFor(ms);
    }
}

void CSimulatedBoard::Warn(std::string text) {
    if (m_warnings.size() < kMaxWarnings &&
        std::find(m_warnings.begin(), m_warnings.end(), text) == m_warnings.end()) {
        m_warnings.push_back(std::move(text));
    }
}

// Inspection.

int64_t CSimulatedBoard::NowMs() const {
    std::lock_guard lock(m_lock);
    return m_nowMs;
}

bool CSimulatedBoard::Transferring() const {
    std::lock_guard lock(m_lock);
    return m_transferring;
}

uint32_t CSimulatedBoard::TransferSize() const {
    std::lock_guard lock(m_lock);
    return m_transferSize;
}

std::size_t CSimulatedBoard::BufferedBytes() const {
    std::lock_guard lock(m_lock);
    return m_stream.size() - m_readOffset;
}

std::size_t CSimulatedBoard::LostBytes() const {
    std::lock_guard lock(m_lock);
    return m_lostBytes;
}

uint32_t CSimulatedBoard::EnableMask() const {
    std::lock_guard lock(m_lock);
    return m_enableMask;
}

std::vector<CSimulatedBoard::CommandWrite> CSimulatedBoard::CommandLog() const {
    std::lock_guard lock(m_lock);
    return {m_commandLog.begin(), m_commandLog.end()};
}

std::vector<CSimulatedBoard::TakenCommand> CSimulatedBoard::TakenCommands() const {
    std::lock_guard lock(m_lock);
    return {m_takenCommands.begin(), m_takenCommands.end()};
}

std::vector<uint32_t> CSimulatedBoard::ControlLog() const {
    std::lock_guard lock(m_lock);
    return {m_controlLog.begin(), m_controlLog.end()};
}

std::array<uint16_t, 8> CSimulatedBoard::ConverterWords(int group) const {
    std::lock_guard lock(m_lock);
    return group >= 0 && group < kMaxGroups
               ? m_groups[static_cast<std::size_t>(group)].converter.words
               : std::array<uint16_t, 8>{};
}

int CSimulatedBoard::ConverterWrites(int group) const {
    std::lock_guard lock(m_lock);
    return group >= 0 && group < kMaxGroups
               ? m_groups[static_cast<std::size_t>(group)].converter.writes
               : 0;
}

uint32_t CSimulatedBoard::GroupRateHz(int group) const {
    std::lock_guard lock(m_lock);
    return group >= 0 && group < kMaxGroups
               ? m_groups[static_cast<std::size_t>(group)].converter.rateHz
               : 0;
}

std::array<int16_t, 32> CSimulatedBoard::RequestSignal(int group) const {
    std::lock_guard lock(m_lock);
    return group >= 0 && group < kMaxGroups
               ? m_groups[static_cast<std::size_t>(group)].requestSignal
               : std::array<int16_t, 32>{};
}

int CSimulatedBoard::RequestSamplesWritten(int group) const {
    std::lock_guard lock(m_lock);
    return group >= 0 && group < kMaxGroups
               ? m_groups[static_cast<std::size_t>(group)].requestSamples
               : 0;
}

LineParams CSimulatedBoard::StoredParams(int channel) const {
    std::lock_guard lock(m_lock);
    return channel >= 0 && channel < kSimMaxChannels
               ? m_lines[static_cast<std::size_t>(channel)].Params()
               : LineParams{};
}

int CSimulatedBoard::PolarityCommand(int channel) const {
    std::lock_guard lock(m_lock);
    return channel >= 0 && channel < kSimMaxChannels
               ? m_lines[static_cast<std::size_t>(channel)].PolarityCommand()
               : -1;
}

int CSimulatedBoard::Key(int channel) const {
    std::lock_guard lock(m_lock);
    return channel >= 0 && channel < kSimMaxChannels
               ? m_lines[static_cast<std::size_t>(channel)].Key()
               : 0;
}

bool CSimulatedBoard::Monitor(int channel) const {
    std::lock_guard lock(m_lock);
    return channel >= 0 && channel < kSimMaxChannels &&
           m_lines[static_cast<std::size_t>(channel)].Monitor();
}

int CSimulatedBoard::TestPulses(int channel) const {
    std::lock_guard lock(m_lock);
    return channel >= 0 && channel < kSimMaxChannels
               ? m_lines[static_cast<std::size_t>(channel)].TestPulses()
               : 0;
}

uint8_t CSimulatedBoard::OutputSwitch(int slot) const {
    std::lock_guard lock(m_lock);
    return slot >= 0 && slot < static_cast<int>(m_outputSwitch.size())
               ? m_outputSwitch[static_cast<std::size_t>(slot)]
               : 0;
}

std::size_t CSimulatedBoard::BytesWrittenToBoard() const {
    std::lock_guard lock(m_lock);
    return m_bytesWritten;
}

int CSimulatedBoard::Resets() const {
    std::lock_guard lock(m_lock);
    return m_resets;
}

int CSimulatedBoard::Resyncs() const {
    std::lock_guard lock(m_lock);
    return m_resyncs;
}

std::vector<std::string> CSimulatedBoard::Warnings() const {
    std::lock_guard lock(m_lock);
    return m_warnings;
}

}  // namespace zorv
