// The driver of the internal recording boards ("Zorv18LDevice"): the
// register protocol of a board reached through its kernel device.
//
// A CBoardDriver is owned by its device. It opens the kernel device through
// the opener it was given, maps the register window, checks the board's
// information word and keeps the channel layout it describes (up to three
// groups of up to six channels, numbered across the groups). Converter
// configuration writes and channel commands poll the status word with the
// time-outs of the board (200 ms). Time-outs, poll pauses and settle waits
// are measured and waited on the clock it was given, so that on a virtual
// clock they pass without real sleeping.
//
// Threads: every operation may be called from any thread. One lock of the
// driver guards every register access and control call; a channel command
// releases it between the status reads it polls, so commands from several
// threads interleave command by command. Stream reads and writes do not take
// it (the kernel device serialises them). Open and Close must not run
// concurrently with other operations.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "devices/BoardIo.h"
#include "devices/DeviceDriver.h"
#include "devices/DspProtocol.h"
#include "platform/Clock.h"

namespace zorv {

// Register words of the board window.
inline constexpr int kRegisterData = 0;
inline constexpr int kRegisterCommand = 1;  // status when read
inline constexpr int kRegisterInfo = 2;

// Command codes written to the command word after the data word.
inline constexpr uint32_t kCommandResetBoard = 0x4747000B;
inline constexpr uint32_t kCommandConverterWord = 0x47470010;
inline constexpr uint32_t kCommandConverterReset = 0x47470011;
inline constexpr uint32_t kCommandSelectGroup = 0x47470012;
inline constexpr uint32_t kCommandEnableMask = 0x47470016;
inline constexpr uint32_t kCommandChannelGroup0 = 0x47470018;   // + group
inline constexpr uint32_t kCommandWithdrawGroup0 = 0x4747001B;  // + group
inline constexpr uint32_t kCommandResync = 0x4747001E;
inline constexpr uint32_t kCommandRequestSample = 0x47470020;

// Status word bits.
inline constexpr uint32_t kStatusConverterBusy = 0x4000;
inline constexpr uint32_t kStatusMailboxGroup0 = 0x10;  // << group

// The information word of a missing board (an unmapped bus reads all ones).
inline constexpr uint32_t kNoBoardInfoWord = 0xFFFFFFFF;
// A board id that this driver does not take.
inline constexpr uint32_t kRefusedBoardId = 0x101;
// Boards from this id on send 26-byte audio records, older ones 14-byte.
inline constexpr uint32_t kFirstWideRecordBoardId = 0x300;

// The layout an information word describes.
struct BoardLayout {
    std::array<int, kMaxGroups> groupChannels{};  // 0..6 each
    std::array<int, kMaxGroups> groupFirst{};     // first channel of each group
    bool group0Mode = false;                      // bit 3
    uint32_t boardId = 0;                         // bits 12..23
    int channelCount = 0;

    // Decodes an information word: counts in bits 0-2, 4-6 and 8-10 (above 6
    // taken as 6), the group-0 mode bit 3, the board id in bits 12-23. The
    // word 0xFFFFFFFF (no board) gives no channels and board id 0.
    static BoardLayout Decode(uint32_t infoWord);
    // Audio record length of the stream: 14 bytes below board id 0x300, else 26.
    std::size_t AudioRecordLength() const {
        return boardId < kFirstWideRecordBoardId ? kShortAudioRecordLength : kLongAudioRecordLength;
    }
};

// The channel command word: channel within its group in bits 16-18, command
// in bits 8-15, value in bits 0-7.
constexpr uint32_t ChannelCommandWord(int channelInGroup, int command, int value) {
    return (static_cast<uint32_t>(channelInGroup & 7) << 16) |
           (static_cast<uint32_t>(command & 0xFF) << 8) | static_cast<uint32_t>(value & 0xFF);
}

class CBoardDriver : public CDeviceDriver {
public:
    static constexpr const char* kDeviceName = "Zorv18LDevice";

    // The opener and the clock must outlive the driver.
    explicit CBoardDriver(IBoardIoOpener& opener, IClock& clock = SystemClock());
    ~CBoardDriver() override;
    CBoardDriver(const CBoardDriver&) = delete;
    CBoardDriver& operator=(const CBoardDriver&) = delete;

    // Opens the kernel device of board index, maps its registers, checks its
    // information word (no board, or board id 0x101, is refused) and resets
    // it. A driver that was open is closed first. False leaves it closed.
    bool Open(int index) override;
    void Close() override;
    bool IsOpen() const override;
    bool StopTransfer() override;
    uint32_t GetSerialNumber() override { return 0; }
    // BoardID is the whole information word read at open; false when closed.
    bool GetHardwareInfo(tagHARDWARE_CONFIG& info) override;
    bool Read(void* buffer, std::size_t size, std::size_t& bytesRead) override;
    bool Write(const void* buffer, std::size_t size, std::size_t& bytesWritten) override;
    int GetChannelCount() override;
    int GetDeviceType() override { return 1; }
    bool MapRegisters() override;
    // The kernel device gets the transfer size and the data event's
    // descriptor; the board signals the event from then on.
    bool StartTransfer(uint32_t transferSize, CAutoResetEvent* dataEvent) override;
    // Up to four attempts, each waiting at most 200 ms for the converter to
    // finish; false after the fourth failure. Group 0..2.
    bool WriteGroupConfig(int group, const uint16_t (&words)[8]) override;
    // Bit 0..5 of the enable mask; false for any other bit.
    bool SetEnableBit(int bit, bool on) override;
    bool ResetBoard() override;
    // Clears both enable bits, waits 20 ms, then resets the group's
    // converter interface.
    bool StopGroup(int group) override;
    // The status word; 0 when closed.
    uint32_t ReadStatus() override;
    // Waits at most 200 ms for the group's mailbox; a command not taken in
    // time is withdrawn and false is returned. False for a channel outside
    // the board.
    bool ChannelCommand(int channel, int command, int value) override;
    bool IsLocalHardware() override { return true; }
    // Boards of this family start with StartTransfer: nothing to do, 0.
    int StartDevice(uint32_t transferSize, CAutoResetEvent* dataEvent, uint32_t transferSize2,
                    CAutoResetEvent* secondEvent) override;
    bool AfterRestart() override { return true; }
    void SetDeviceIndex(int) override {}
    std::size_t FillAfterTimeout(void*, std::size_t, std::size_t) override { return 0; }
    std::size_t FillAfterLoss(void*, std::size_t) override { return 0; }
    bool Resync() override;

    int GroupChannelCount(int group) const override;
    int GroupFirstChannel(int group) const override;

    // The information word read at open (0 when closed) and its layout.
    uint32_t InfoWord() const { return m_infoWord; }
    const BoardLayout& Layout() const { return m_layout; }

protected:
    CBoardDriver(IBoardIoOpener& opener, std::string deviceName, IClock& clock);

    // The word sent for configuration word w (the PCI family replaces one).
    virtual uint16_t ConverterWord(uint16_t word) const { return word; }
    // The command actually sent for a channel command (the PCI family
    // translates command 27).
    virtual void TranslateCommand(int& command, int& value) const;

    // A control call under the driver lock; false when closed or refused.
    bool CallControl(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                     std::size_t& outLength);
    // A control call that carries 32-bit values and returns nothing.
    bool CallControl(uint32_t code, std::span<const uint32_t> values);
    // Data word, then command word. Caller holds m_lock and the device is open.
    void WriteCommandHeld(uint32_t data, uint32_t code);
    // Writes one command under the lock; false when closed.
    bool WriteCommand(uint32_t data, uint32_t code);

    // The stream data event handed to the board, or null to stop signalling.
    void SetDataEvent(CAutoResetEvent* event);

    std::mutex& Lock() { return m_lock; }
    IBoardIo* Io() { return m_io.get(); }

private:
    // Constant after construction
    IBoardIoOpener& m_opener;
    const std::string m_deviceName;
    IClock& m_clock;

    // Set by Open and Close only
    std::unique_ptr<IBoardIo> m_io;
    uint32_t m_infoWord = 0;
    BoardLayout m_layout;
    std::array<int, kMaxGroups * kMaxGroupChannels> m_channelGroup{};

    // Guards every register access and control call
    std::mutex m_lock;
    uint32_t m_enableMask = 0;  // Guarded by m_lock
};

}  // namespace zorv
