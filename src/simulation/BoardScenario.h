// What simulated boards are and do: their description, read from a scenario
// file or built by tests.
//
// A scenario names the boards (driver device name, index, information word),
// what each channel's line carries (a tone, a WAV file or silence), what
// happens on each line and when (ring, call in, call out, free, lost, digits,
// any event record), how the processors behave (command take delay, version
// and status bytes, parameter drift) and which faults the board injects into
// its stream. The file format is documented in docs/simulated-board.md.
//
// These are plain values; LoadBoardScenario may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "channels/ChannelTypes.h"
#include "devices/DeviceDriver.h"
#include "devices/DspProtocol.h"
#include "simulation/NumberSignal.h"

namespace zorv {

inline constexpr int kSimMaxChannels = kMaxGroups * kMaxGroupChannels;

enum class SimAudioKind { Silence, Tone, Wav };

// What a line carries. Tones may be cut into bursts (on for onSeconds, off
// for offSeconds) and their level may swing at modulationHz between a tenth
// of the amplitude and the full amplitude, which reads like speech to level
// detectors.
struct SimAudio {
    SimAudioKind kind = SimAudioKind::Silence;
    double frequencyHz = 0;
    int amplitude = 0;     // peak, 0..32767
    double onSeconds = 0;  // 0: no bursts
    double offSeconds = 0;
    double modulationHz = 0;  // 0: steady level
    // WAV: 16-bit mono samples at wavRate, played in a loop.
    std::shared_ptr<const std::vector<int16_t>> wavSamples;
    uint32_t wavRate = 0;
    std::string wavPath;
    // True: the line is quiet except during a call (from a call-in or
    // call-out event to the next free or lost event).
    bool duringCallsOnly = false;
};

// One event record of a line at a time of the board clock.
struct SimLineEvent {
    int64_t timeMs = 0;
    uint8_t code = 0;
    uint8_t value = 0;
};

enum class SimFaultKind {
    Garbage,         // bytes (default 0xA5) inserted into the stream
    BadGroupAudio,   // an audio record whose header names group 3
    BadGroupEvent,   // an event record whose header names group 3
    Stall,           // nothing is produced for amount ms
    ReadError,       // the next amount reads fail
    SilentGroup,     // the group's processor falls silent (amount ms, 0 for good)
    ConverterStuck,  // the group's converter stays busy for good
    Raw,             // the given bytes inserted as they are
};

struct SimFault {
    int64_t timeMs = 0;
    SimFaultKind kind = SimFaultKind::Garbage;
    int group = 0;
    int64_t amount = 0;  // bytes, milliseconds or reads, by kind
    std::vector<uint8_t> bytes;
};

// One channel of a board, numbered across the groups as the driver numbers
// them (group 0 first).
struct SimChannel {
    SimAudio audio;
    std::vector<SimLineEvent> timeline;  // in time order
    // Caller numbers and dialled digits the line carries, on the same
    // timeline; while one plays it replaces the line's audio.
    std::vector<SimNumberSignal> signals;
    // Sign of the first half of the polarity test pulse (1 or -1).
    int polarity = 1;
    // The line parameters the processor holds after power-up or initialise.
    LineParams powerUpParams = kDefaultLineParams;
    // Parameter drift: every value the processor stores into this byte of
    // LineParams (0..10, -1 none) comes out driftDelta higher (modulo 256).
    int driftField = -1;
    int driftDelta = 0;
};

struct SimBoardConfig {
    std::string deviceName = "Zorv18LDevice";
    int index = 0;
    uint32_t infoWord = 0x00012066;
    // Answers to commands 21 and 18, per group.
    std::array<uint8_t, kMaxGroups> versionByte{0x21, 0x21, 0x21};
    std::array<uint8_t, kMaxGroups> statusByte{0x01, 0x01, 0x01};
    // A channel command is taken once this many status reads have seen it
    // waiting and at least commandTakeMs (on the board's take clock) after it was written.
    int commandTakeReads = 1;
    int commandTakeMs = 0;
    // Status reads during which the converter stays busy after the eighth
    // configuration word.
    int converterBusyReads = 2;
    // The line timelines repeat with this period (0: they play once).
    int64_t repeatMs = 0;
    // A group event 24 from every working processor this often (0: never).
    int64_t heartbeatMs = 0;
    // The answer to the read-configuration control (BoardID 0 means the
    // information word, DeviceType 0 the driver's type).
    tagHARDWARE_CONFIG hardwareConfig{};
    std::vector<uint32_t> refusedControls;
    std::array<SimChannel, kSimMaxChannels> channels{};
    std::vector<SimFault> faults;  // in time order
};

struct SimScenario {
    std::vector<SimBoardConfig> boards;
};

class CBoardScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads a scenario file; WAV paths are relative to the file's directory.
// Throws CBoardScenarioError naming the file, section and key of the first
// thing it cannot use.
SimScenario LoadBoardScenario(const std::string& path);

// Reads the samples of a WAV file a scenario names (ReadBoardWav for files);
// throws CBoardScenarioError for what it cannot use.
using BoardWavReader = std::function<std::vector<int16_t>(const std::string& path, uint32_t& rate)>;

// The same for the text of a scenario file: name is used in the messages,
// WAV paths are relative to directory, and each distinct path is read once
// through readWav (lines naming one file share its samples).
SimScenario ParseBoardScenario(std::string_view text, const std::string& name,
                               const std::filesystem::path& directory,
                               const BoardWavReader& readWav);

// Reads a RIFF/WAVE file of 16-bit PCM mono at one of the board rates (8000,
// 16000, 32000 or 64000 Hz). Throws CBoardScenarioError otherwise.
std::vector<int16_t> ReadBoardWav(const std::string& path, uint32_t& rate);

// The same for the bytes of a WAV file; name is used in the messages.
std::vector<int16_t> ParseBoardWav(std::span<const uint8_t> bytes, uint32_t& rate,
                                   const std::string& name);

// The board rate of a converter rate code (0x810C..0x810F), 0 for any other.
uint32_t ConverterRateHz(uint16_t rateCode);

}  // namespace zorv
