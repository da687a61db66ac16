// A recording board in software: the hardware side of IBoardIo, played
// exactly as a board answers its driver.
//
// Register firmware: the information word; group select; converter
// configuration (eight words framed by a converter reset, busy for a few
// status reads after the eighth); a channel command mailbox per group whose
// status bit stays set until the group's processor takes the command; the
// 6-bit enable mask (a group streams audio while its data and run bits are
// set, and event records while its run bit is set); board reset, stream
// resync and the request-signal samples. Control codes: map registers, start
// and stop transfer, read hardware configuration, set switch.
//
// Processor model per group: stored line parameters per channel (read
// commands answer with an event record), version and status answers,
// polarity, line monitor, key, test pulse, initialise.
//
// The record stream: audio records of 14 bytes (board id below 0x300; one
// sample per channel) or 26 bytes (twelve samples dealt round-robin over the
// group's channels from its first channel in every record), event
// records of 4 bytes, each line's timeline, and the faults of the
// configuration.
//
// Time: the board clock runs while the transfer is on, counted in whole
// milliseconds from the first start. With the virtual clock it moves only by
// Advance, which produces exactly that much stream; with the real-time clock
// a thread of the board produces the stream every 10 ms and sets the data
// event. Command take delays in milliseconds are measured on the clock given
// at construction (the real clock unless a test gives its virtual clock,
// the one its driver waits on).
//
// Threads: every method may be called from any thread; one lock of the board
// guards its whole state. The data event is only touched under that lock, so
// after SetDataEvent(nullptr) returns the board never sets the old event.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/BoardDriver.h"
#include "devices/BoardIo.h"
#include "platform/Clock.h"
#include "simulation/BoardScenario.h"
#include "simulation/SimulatedLine.h"

namespace zorv {

class CSimulatedBoard final : public IBoardIo {
public:
    enum class Clock { Virtual, RealTime };

    // One write of the command word with the data word before it.
    struct CommandWrite {
        uint32_t data;
        uint32_t code;
        bool operator==(const CommandWrite&) const = default;
    };
    // A channel command as the processor took it.
    struct TakenCommand {
        int channel;  // board channel number
        int command;
        int value;
        bool operator==(const TakenCommand&) const = default;
    };

    // Stream data kept for a reader that does not read; what comes beyond
    // is lost whole records at a time.
    static constexpr std::size_t kMaxBuffered = 16u << 20;
    // How far the real-time clock catches up after a delay.
    static constexpr int64_t kMaxCatchUpMs = 1000;

    // takeClock: measures the command take delays; must outlive the board.
    CSimulatedBoard(SimBoardConfig config, Clock clock, IClock& takeClock = SystemClock());
    ~CSimulatedBoard() override;
    CSimulatedBoard(const CSimulatedBoard&) = delete;
    CSimulatedBoard& operator=(const CSimulatedBoard&) = delete;

    // IBoardIo.
    bool Control(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                 std::size_t& outLength) override;
    bool Read(void* buffer, std::size_t size, std::size_t& bytesRead) override;
    bool Write(const void* buffer, std::size_t size, std::size_t& bytesWritten) override;
    uint32_t ReadRegister(int word) override;
    void WriteRegister(int word, uint32_t value) override;
    void SetDataEvent(CAutoResetEvent* event) override;

    // The kernel handle: one at a time. Closing it stops the transfer,
    // forgets the data event and unmaps the window.
    bool OpenHandle();
    void CloseHandle();

    // Virtual clock: runs the board for ms milliseconds (nothing while the
    // transfer is off). Ignored with the real-time clock.
    void Advance(int64_t ms);

    const SimBoardConfig& Config() const { return m_config; }
    const BoardLayout& Layout() const { return m_layout; }

    // Inspection, for tests and diagnostics.
    int64_t NowMs() const;
    bool Transferring() const;
    uint32_t TransferSize() const;
    std::size_t BufferedBytes() const;
    std::size_t LostBytes() const;
    uint32_t EnableMask() const;
    std::vector<CommandWrite> CommandLog() const;  // the latest, at most 65536
    std::vector<TakenCommand> TakenCommands() const;
    std::vector<uint32_t> ControlLog() const;  // control codes, the latest 65536
    // The last complete configuration of a group's converter (as written)
    // and how many were written.
    std::array<uint16_t, 8> ConverterWords(int group) const;
    int ConverterWrites(int group) const;
    uint32_t GroupRateHz(int group) const;
    std::array<int16_t, 32> RequestSignal(int group) const;
    int RequestSamplesWritten(int group) const;
    LineParams StoredParams(int channel) const;
    int PolarityCommand(int channel) const;
    int Key(int channel) const;
    bool Monitor(int channel) const;
    int TestPulses(int channel) const;
    uint8_t OutputSwitch(int slot) const;
    std::size_t BytesWrittenToBoard() const;
    int Resets() const;
    int Resyncs() const;
    std::vector<std::string> Warnings() const;

private:
    struct Converter {
        std::array<uint16_t, 8> incoming{};
        int wordCount = 0;
        std::array<uint16_t, 8> words{};
        int writes = 0;
        int busyReads = 0;
        bool stuck = false;
        uint32_t rateHz = 8000;
    };
    struct Mailbox {
        bool full = false;
        uint32_t word = 0;
        int readsSeen = 0;
        IClock::SteadyTime writtenAt;  // on m_takeClock
    };
    struct Group {
        Converter converter;
        Mailbox mailbox;
        int64_t silentUntilMs = -1;    // processor silent while now < this
        std::vector<uint8_t> answers;  // event records waiting for the stream
        std::array<int16_t, 32> requestSignal{};
        int requestSamples = 0;
        std::array<uint8_t, kLongAudioRecordLength> record{};  // wide record being dealt
        int dealt = 0;                     // whole sample periods in it
        int64_t sampleIndex = 0;           // next sample period at the group's rate
    };

    // All below run under m_lock.
    void ExecuteCommand(uint32_t code);
    uint32_t StatusHeld();
    bool ProcessorSilent(int group) const;
    void TakeCommand(int group);
    void ResetHeld();
    bool SetSwitchHeld(std::span<const uint8_t> in);
    void ApplyFault(const SimFault& fault);
    void StepMs();
    void Append(const uint8_t* bytes, std::size_t size);
    void AppendEvent(int group, int channelInGroup, uint8_t code, uint8_t value);
    void GenerateAudio(int group);
    void Warn(std::string text);
    void RunFor(int64_t ms);

    void RealTimeLoop();

    // Constant after construction
    const SimBoardConfig m_config;
    const Clock m_clock;
    IClock& m_takeClock;
    const BoardLayout m_layout;
    const std::size_t m_recordLength;

    mutable std::mutex m_lock;
    // Guarded by m_lock
    bool m_handleOpen = false;
    bool m_mapped = false;
    bool m_transferring = false;
    uint32_t m_transferSize = 0;
    CAutoResetEvent* m_dataEvent = nullptr;
    uint32_t m_dataWord = 0;
    int m_selectedGroup = 0;
    uint32_t m_enableMask = 0;
    std::array<Group, kMaxGroups> m_groups{};
    std::vector<CSimulatedLine> m_lines;  // by board channel number
    int64_t m_nowMs = 0;
    std::size_t m_nextFault = 0;
    int64_t m_stallUntilMs = -1;
    int64_t m_readErrors = 0;
    std::vector<uint8_t> m_stream;
    std::size_t m_readOffset = 0;
    std::size_t m_lostBytes = 0;
    bool m_appended = false;
    std::deque<CommandWrite> m_commandLog;
    std::deque<TakenCommand> m_takenCommands;
    std::deque<uint32_t> m_controlLog;
    std::array<uint8_t, 32> m_outputSwitch{};
    std::size_t m_bytesWritten = 0;
    int m_resets = 0;
    int m_resyncs = 0;
    std::vector<std::string> m_warnings;
    std::vector<SimLineEvent> m_dueScratch;

    // Real-time clock
    std::condition_variable m_wake;
    bool m_stopThread = false;                         // Guarded by m_lock
    std::chrono::steady_clock::time_point m_lastTick;  // Guarded by m_lock
    std::thread m_thread;
};

}  // namespace zorv
