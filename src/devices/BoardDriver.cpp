#include "devices/BoardDriver.h"

#include <chrono>
#include <vector>

#include "platform/AutoResetEvent.h"

namespace zorv {

namespace {

constexpr auto kBoardTimeout = std::chrono::milliseconds{200};
constexpr auto kGroupSettle = std::chrono::milliseconds{20};
// Pause between two polls of the status word, so that a waiting thread leaves
// the bus (and the driver lock) to others.
constexpr auto kPollPause = std::chrono::microseconds{50};
constexpr int kConfigAttempts = 4;
constexpr int kEnableBits = 2 * kMaxGroups;

// The 32-bit value by which the kernel device knows an event.
uint32_t EventHandle(const CAutoResetEvent* event) {
    return event != nullptr ? static_cast<uint32_t>(event->Fd()) : 0;
}

}  // namespace

BoardLayout BoardLayout::Decode(uint32_t infoWord) {
    BoardLayout layout;
    if (infoWord == kNoBoardInfoWord) {
        return layout;
    }
    const int shifts[kMaxGroups] = {0, 4, 8};
    int first = 0;
    for (int g = 0; g < kMaxGroups; ++g) {
        int count = static_cast<int>((infoWord >> shifts[g]) & 7);
        if (count > kMaxGroupChannels) {
            count = kMaxGroupChannels;
        }
        layout.groupChannels[g] = count;
        layout.groupFirst[g] = first;
        first += count;
    }
    layout.channelCount = first;
    layout.group0Mode = (infoWord & 0x8) != 0;
    layout.boardId = (infoWord >> 12) & 0xFFF;
    return layout;
}

CBoardDriver::CBoardDriver(IBoardIoOpener& opener, IClock& clock)
    : CBoardDriver(opener, kDeviceName, clock) {}

CBoardDriver::CBoardDriver(IBoardIoOpener& opener, std::string deviceName, IClock& clock)
    : m_opener(opener), m_deviceName(std::move(deviceName)), m_clock(clock) {}

CBoardDriver::~CBoardDriver() {
    Close();
}

bool CBoardDriver::Open(int index) {
    Close();
    m_io = m_opener.Open(m_deviceName, index);
    if (!m_io) {
        return false;
    }
    if (!MapRegisters()) {
        m_io.reset();
        return false;
    }
    uint32_t infoWord;
    {
        std::lock_guard lock(m_lock);
        infoWord = m_io->ReadRegister(kRegisterInfo);
    }
    const BoardLayout layout = BoardLayout::Decode(infoWord);
    // All ones is what the bus gives where no board answers; such a window
    // describes nothing that could be driven.
    if (infoWord == kNoBoardInfoWord || layout.boardId == kRefusedBoardId) {
        m_io.reset();
        return false;
    }
    m_infoWord = infoWord;
    m_layout = layout;
    for (int g = 0; g < kMaxGroups; ++g) {
        for (int c = 0; c < m_layout.groupChannels[g]; ++c) {
            m_channelGroup[static_cast<std::size_t>(m_layout.groupFirst[g] + c)] = g;
        }
    }
    {
        std::lock_guard lock(m_lock);
        m_enableMask = 0;
    }
    ResetBoard();
    return true;
}

void CBoardDriver::Close() {
    if (!m_io) {
        return;
    }
    StopTransfer();
    m_io.reset();
    m_infoWord = 0;
    m_layout = BoardLayout{};
}

bool CBoardDriver::IsOpen() const {
    return m_io != nullptr;
}

bool CBoardDriver::StopTransfer() {
    const bool stopped = CallControl(kIoctlStopTransfer, std::span<const uint32_t>{});
    // Whatever the board answered, it must not touch the event any more: its
    // owner may release it once the transfer is stopped.
    SetDataEvent(nullptr);
    return stopped;
}

bool CBoardDriver::GetHardwareInfo(tagHARDWARE_CONFIG& info) {
    if (!m_io) {
        return false;
    }
    info.BoardID = m_infoWord;
    info.DeviceType = static_cast<uint32_t>(GetDeviceType());
    info.SerialNumber = GetSerialNumber();
    return true;
}

bool CBoardDriver::Read(void* buffer, std::size_t size, std::size_t& bytesRead) {
    bytesRead = 0;
    if (!m_io) {
        return false;
    }
    if (!m_io->Read(buffer, size, bytesRead)) {
        bytesRead = 0;
        return false;
    }
    if (bytesRead > size) {  // a device that claims more than it was given
        bytesRead = 0;
        return false;
    }
    return true;
}

bool CBoardDriver::Write(const void* buffer, std::size_t size, std::size_t& bytesWritten) {
    bytesWritten = 0;
    if (!m_io) {
        return false;
    }
    if (!m_io->Write(buffer, size, bytesWritten)) {
        bytesWritten = 0;
        return false;
    }
    if (bytesWritten > size) {
        bytesWritten = size;
    }
    return true;
}

int CBoardDriver::GetChannelCount() {
    return m_layout.channelCount;
}

bool CBoardDriver::MapRegisters() {
    uint8_t out[8] = {};
    std::size_t outLength = 0;
    if (!CallControl(kIoctlMapRegisters, {}, out, outLength) || outLength != sizeof out) {
        return false;
    }
    // The first value is the mapping; the second, the window's address in
    // the caller's space, has no use here (the window is reached through
    // the kernel device).
    const uint32_t mapping = static_cast<uint32_t>(out[0]) | (static_cast<uint32_t>(out[1]) << 8) |
                             (static_cast<uint32_t>(out[2]) << 16) |
                             (static_cast<uint32_t>(out[3]) << 24);
    return mapping != 0;
}

bool CBoardDriver::StartTransfer(uint32_t transferSize, CAutoResetEvent* dataEvent) {
    if (!m_io) {
        return false;
    }
    SetDataEvent(dataEvent);
    const uint32_t values[] = {transferSize, EventHandle(dataEvent)};
    if (!CallControl(kIoctlStartTransfer, values)) {
        SetDataEvent(nullptr);
        return false;
    }
    return true;
}

bool CBoardDriver::WriteGroupConfig(int group, const uint16_t (&words)[8]) {
    if (group < 0 || group >= kMaxGroups) {
        return false;
    }
    std::lock_guard lock(m_lock);
    if (!m_io) {
        return false;
    }
    const auto g = static_cast<uint32_t>(group);
    for (int attempt = 0; attempt < kConfigAttempts; ++attempt) {
        WriteCommandHeld(g, kCommandSelectGroup);
        WriteCommandHeld(0, kCommandConverterReset);
        for (uint16_t word : words) {
            WriteCommandHeld(ConverterWord(word), kCommandConverterWord);
        }
        const auto start = m_clock.SteadyNow();
        for (;;) {
            if ((m_io->ReadRegister(kRegisterCommand) & kStatusConverterBusy) == 0) {
                return true;
            }
            if (m_clock.SteadyNow() - start > kBoardTimeout) {
                break;
            }
            m_clock.SleepFor(kPollPause);
        }
    }
    WriteCommandHeld(g, kCommandSelectGroup);
    WriteCommandHeld(0, kCommandConverterReset);
    return false;
}

bool CBoardDriver::SetEnableBit(int bit, bool on) {
    if (bit < 0 || bit >= kEnableBits) {
        return false;
    }
    std::lock_guard lock(m_lock);
    if (!m_io) {
        return false;
    }
    if (on) {
        m_enableMask |= 1u << bit;
    } else {
        m_enableMask &= ~(1u << bit);
    }
    WriteCommandHeld(m_enableMask, kCommandEnableMask);
    return true;
}

bool CBoardDriver::ResetBoard() {
    return WriteCommand(0, kCommandResetBoard);
}

bool CBoardDriver::StopGroup(int group) {
    if (group < 0 || group >= kMaxGroups || !m_io) {
        return false;
    }
    SetEnableBit(2 * group, false);
    SetEnableBit(2 * group + 1, false);
    m_clock.SleepFor(kGroupSettle);
    std::lock_guard lock(m_lock);
    if (!m_io) {
        return false;
    }
    WriteCommandHeld(static_cast<uint32_t>(group), kCommandSelectGroup);
    WriteCommandHeld(0, kCommandConverterReset);
    return true;
}

uint32_t CBoardDriver::ReadStatus() {
    std::lock_guard lock(m_lock);
    return m_io ? m_io->ReadRegister(kRegisterCommand) : 0;
}

void CBoardDriver::TranslateCommand(int&, int&) const {}

bool CBoardDriver::ChannelCommand(int channel, int command, int value) {
    if (!m_io || channel < 0 || channel >= m_layout.channelCount) {
        return false;
    }
    TranslateCommand(command, value);
    const int group = m_channelGroup[static_cast<std::size_t>(channel)];
    const uint32_t mailbox = kStatusMailboxGroup0 << group;
    const uint32_t word = ChannelCommandWord(channel - m_layout.groupFirst[group], command, value);
    const auto start = m_clock.SteadyNow();
    for (;;) {
        {
            // The check that finds the mailbox free and the write that fills
            // it are one lock hold: another thread's command cannot slip in
            // between and be overwritten.
            std::lock_guard lock(m_lock);
            if ((m_io->ReadRegister(kRegisterCommand) & mailbox) == 0) {
                WriteCommandHeld(word, kCommandChannelGroup0 + static_cast<uint32_t>(group));
                return true;
            }
            if (m_clock.SteadyNow() - start > kBoardTimeout) {
                WriteCommandHeld(0, kCommandWithdrawGroup0 + static_cast<uint32_t>(group));
                return false;
            }
        }
        m_clock.SleepFor(kPollPause);
    }
}

int CBoardDriver::StartDevice(uint32_t, CAutoResetEvent*, uint32_t, CAutoResetEvent*) {
    return 0;
}

bool CBoardDriver::Resync() {
    return WriteCommand(0, kCommandResync);
}

int CBoardDriver::GroupChannelCount(int group) const {
    return group >= 0 && group < kMaxGroups ? m_layout.groupChannels[group] : 0;
}

int CBoardDriver::GroupFirstChannel(int group) const {
    return group >= 0 && group < kMaxGroups ? m_layout.groupFirst[group] : 0;
}

bool CBoardDriver::CallControl(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                               std::size_t& outLength) {
    outLength = 0;
    std::lock_guard lock(m_lock);
    if (!m_io) {
        return false;
    }
    if (!m_io->Control(code, in, out, outLength)) {
        outLength = 0;
        return false;
    }
    if (outLength > out.size()) {
        outLength = out.size();
    }
    return true;
}

bool CBoardDriver::CallControl(uint32_t code, std::span<const uint32_t> values) {
    uint8_t in[4 * 4];
    if (values.size() > 4) {
        return false;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        for (int b = 0; b < 4; ++b) {
            in[4 * i + static_cast<std::size_t>(b)] = static_cast<uint8_t>(values[i] >> (8 * b));
        }
    }
    std::size_t outLength = 0;
    return CallControl(code, std::span<const uint8_t>(in, 4 * values.size()), {}, outLength);
}

void CBoardDriver::WriteCommandHeld(uint32_t data, uint32_t code) {
    m_io->WriteRegister(kRegisterData, data);
    m_io->WriteRegister(kRegisterCommand, code);
}

bool CBoardDriver::WriteCommand(uint32_t data, uint32_t code) {
    std::lock_guard lock(m_lock);
    if (!m_io) {
        return false;
    }
    WriteCommandHeld(data, code);
    return true;
}

void CBoardDriver::SetDataEvent(CAutoResetEvent* event) {
    std::lock_guard lock(m_lock);
    if (m_io) {
        m_io->SetDataEvent(event);
    }
}

}  // namespace zorv
