// The kernel-device side of a recording board: what a board driver reaches
// through the operating system.
//
// A board is opened by its driver's device name and board index; it answers
// control codes, gives its record stream to reads and takes writes, and has
// a register window of three 32-bit words (0 data, 1 command when written and
// status when read, 2 board information). On Linux no kernel driver exists,
// so the system's opener finds no board; a simulated board implements the
// same seam for demonstrations and tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace zorv {

class CAutoResetEvent;

// Control codes of the board's kernel device (device type 0x22, buffered).
inline constexpr uint32_t kIoctlMapRegisters = 0x222000;
inline constexpr uint32_t kIoctlStartTransfer = 0x222004;
inline constexpr uint32_t kIoctlStopTransfer = 0x222008;
inline constexpr uint32_t kIoctlReadHardwareConfig = 0x22200C;
inline constexpr uint32_t kIoctlSetSwitch = 0x222010;

class IBoardIo {
public:
    virtual ~IBoardIo() = default;

    // A control call with its input and output bytes; false when refused.
    // Output is filled up to out.size(); outLength tells how much was.
    virtual bool Control(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                         std::size_t& outLength) = 0;
    // The stream: one read of whatever is ready (0 bytes when nothing is).
    virtual bool Read(void* buffer, std::size_t size, std::size_t& bytesRead) = 0;
    virtual bool Write(const void* buffer, std::size_t size, std::size_t& bytesWritten) = 0;
    // The register window (valid after the map-registers control call).
    virtual uint32_t ReadRegister(int word) = 0;
    virtual void WriteRegister(int word, uint32_t value) = 0;
    // The event the board sets when stream data is ready (from the
    // start-transfer call on); null stops the signalling.
    virtual void SetDataEvent(CAutoResetEvent* event) = 0;
};

// Opens boards by driver device name ("Zorv18LDevice", "VeskoPCIDevice") and
// index; null when there is no such board.
class IBoardIoOpener {
public:
    virtual ~IBoardIoOpener() = default;
    virtual std::unique_ptr<IBoardIo> Open(const std::string& deviceName, int index) = 0;
};

// The system's opener: Linux has no kernel driver for the boards, so every
// open finds nothing (the device reports absent hardware).
IBoardIoOpener& SystemBoardIoOpener();

}  // namespace zorv
