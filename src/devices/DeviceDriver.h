// The driver object of a DSP-style device: what the device uses to reach its
// hardware (a board, a USB recorder, a network transcoder).
//
// The operations are those of the drivers of every kind, in this order; a
// driver that has no use for one answers as documented. Every driver guards
// its register accesses and control calls with one lock of its own; the
// device's channel lock is always taken before it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

class CAutoResetEvent;

inline constexpr int kMaxGroups = 3;
inline constexpr int kMaxGroupChannels = 6;

// The hardware description of a device (24 bytes, as reported to clients).
struct tagHARDWARE_CONFIG {
    uint32_t IOport;
    uint32_t DMA;
    uint32_t IRQ;
    uint32_t BoardID;
    uint32_t DeviceType;
    uint32_t SerialNumber;
};
static_assert(sizeof(tagHARDWARE_CONFIG) == 24);

class CDeviceDriver {
public:
    // 1. Closes the device.
    virtual ~CDeviceDriver() = default;
    // 2. Opens board (or unit) number index; false when it is not there.
    virtual bool Open(int index) = 0;
    // 3.
    virtual void Close() = 0;
    // 4.
    virtual bool IsOpen() const = 0;
    // 5.
    virtual bool StopTransfer() = 0;
    // 6. 0 for boards.
    virtual uint32_t GetSerialNumber() = 0;
    // 7.
    virtual bool GetHardwareInfo(tagHARDWARE_CONFIG& info) = 0;
    // 8. One read of the record stream; false on a read error.
    virtual bool Read(void* buffer, std::size_t size, std::size_t& bytesRead) = 0;
    // 9.
    virtual bool Write(const void* buffer, std::size_t size, std::size_t& bytesWritten) = 0;
    // 10. Channels of all groups.
    virtual int GetChannelCount() = 0;
    // 11.
    virtual int GetDeviceType() = 0;
    // 12.
    virtual bool MapRegisters() = 0;
    // 13. Starts the stream; dataEvent is set whenever data can be read.
    virtual bool StartTransfer(uint32_t transferSize, CAutoResetEvent* dataEvent) = 0;
    // 14. The eight converter configuration words of a group.
    virtual bool WriteGroupConfig(int group, const uint16_t (&words)[8]) = 0;
    // 15. One bit of the group enable mask (2g data bit, 2g+1 run bit).
    virtual bool SetEnableBit(int bit, bool on) = 0;
    // 16.
    virtual bool ResetBoard() = 0;
    // 17.
    virtual bool StopGroup(int group) = 0;
    // 18.
    virtual uint32_t ReadStatus() = 0;
    // 19. A command to the processor of the channel's group; false when the
    // processor did not take it in time.
    virtual bool ChannelCommand(int channel, int command, int value) = 0;
    // 20. True for boards (time-outs of 5 s), false for network units.
    virtual bool IsLocalHardware() = 0;
    // 21. 0 on success, else an error code.
    virtual int StartDevice(uint32_t transferSize, CAutoResetEvent* dataEvent,
                            uint32_t transferSize2, CAutoResetEvent* secondEvent) = 0;
    // 22.
    virtual bool AfterRestart() = 0;
    // 23.
    virtual void SetDeviceIndex(int index) = 0;
    // 24.
    virtual int Reserved() { return 0; }
    // 25. Bytes to put into the stream after a read time-out (0 for boards).
    virtual std::size_t FillAfterTimeout(void* buffer, std::size_t size, std::size_t bytesPer8ms) = 0;
    // 26. Bytes to put into the stream after lost data (0 for boards).
    virtual std::size_t FillAfterLoss(void* buffer, std::size_t size) = 0;
    // 27. Asks the hardware to resynchronise its stream.
    virtual bool Resync() = 0;

    // The channel layout: channels are numbered across the groups, group 0
    // first. A group that is not present has 0 channels.
    virtual int GroupChannelCount(int group) const = 0;
    virtual int GroupFirstChannel(int group) const = 0;
};

}  // namespace zorv
