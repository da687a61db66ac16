// A device with signal processors in up to three groups of up to six
// channels: the recording boards (and, through its own driver, the older
// network transcoder).
//
// Start programs the groups' converters and processors through the driver
// and starts the reading thread, which parses the record stream into blocks
// and events (CRecordStreamParser) and runs, for each block of a group and
// each of its channels under the channel lock: polarity control, the input
// high-pass filter, the block stages, the block level and the channel's audio
// handler. Event records drive the line-state machine, the parameter
// handshake with the processors and the group watchdog.
//
// Threads: the life cycle (Open, Start, Stop, Close) comes from the server
// thread, the setters from client threads and the scheduler, blocks and
// events from the reading thread. The reading thread owns the stream parser
// and the block format it works with: other threads never touch them, they
// post requests (a parser reset at Start, a group's new block format) that
// the reading thread takes up before it parses its next read. Everything
// else that the reading thread uses is guarded by the channel lock (the
// channel bank's), as marked below; lock order: channel lock, driver lock.
//
// Waits (converter settling, pacing of parameter writes, the pause after a
// failed read) go through the device's clock, which also drives its board
// driver's polls.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "devices/BlockStages.h"
#include "devices/CallerNumberUnit.h"
#include "devices/BoardIo.h"
#include "devices/RecordDevice.h"
#include "devices/RecordStreamParser.h"
#include "platform/AutoResetEvent.h"

namespace zorv {

// The processor and converter states of a device, as reported to clients
// (52 bytes).
struct tagZorvServiceTlfParam {
    uint32_t MinChTlf;
    uint32_t MaxChTlf;
    uint32_t MegaPresent[6];  // [0..2] processor of group 0..2: 0 unseen, 1 alive, 2 failed
    uint32_t AdcPresent[4];   // [0..2] converter of group 0..2: 0, 1 programmed, 2 failed
    uint32_t Version;
};
static_assert(sizeof(tagZorvServiceTlfParam) == 52);

// Samples per 8-ms block, level shift and converter rate code of a rate;
// false for a rate no group supports.
bool BlockFormatOf(uint32_t sampleRate, int& samples, int& levelShift, uint16_t& rateCode);

// Where the input high-pass filter runs in a channel's block: first, or
// after caller-number decoding (audio decoded from Speex, whose decoder
// already removes the lowest band, is filtered only for the later stages).
enum class HighPassPlace { kFirst, kAfterAon };

class CDspDevice : public CRecordDevice, private IRecordStreamSink {
public:
    static constexpr std::size_t kReadBufferSize = 0x80000;
    static constexpr int kWatchdogBlocks = 2500;

    // boardIndex: the candidate number the driver opens. opener: where board
    // drivers find their hardware (null: the system's, which has none).
    CDspDevice(const DeviceContext& context, int boardIndex, IBoardIoOpener* opener = nullptr);
    ~CDspDevice() override;

    // The device interface
    CDeviceDriver* GetDriver() override { return m_driver.get(); }
    bool Open() override;
    void Close() override;
    bool Start() override;
    void Stop() override;
    bool CreateDriver() override;
    uint32_t GetDeviceNumber() const override;
    int SetGroupSampleRate(int group, uint32_t rate) override;
    int SetGain(int channel, int gain, bool program, bool persist) override;
    int RestartHardware() override;
    void LoadSettings(const CChannelSettingsFile& settings) override;

    // Line parameters, key and polarity of the channels.
    int SetLineParams(int first, int last, const LineParams& params, bool program);
    bool GetLineParams(int channel, LineParams& out) const;
    // With persist a setter that succeeds writes its key ("KeyEnable",
    // "Polarity", "PolarityCheckTimeOut", "Gain") to the channel's section.
    int SetKeyEnable(int first, int last, uint32_t value, bool program, bool persist);
    void ApplyAonFlags(int channel, uint32_t flags) override;
    int SetPolarityMode(int channel, int mode, bool persist);
    int SetPolarityCheckTimeOut(int channel, uint32_t seconds, bool persist);
    int GetPolarityCheckTimeOut(int channel) const;
    tagZorvServiceTlfParam ServiceParams() const;
    // The processor of a group failed: its channels' records end, StateLine 12.
    void MarkGroupFailed(int group) override;

    // The block stages (not owned); set before Start.
    void SetStages(const BlockStages& stages) { m_stages = stages; }

    // One pass of the reading loop's parsing, for tests: feeds bytes as if
    // the driver had read them. Only while no reading thread runs, or while
    // it has nothing to read.
    void FeedStream(const uint8_t* data, std::size_t size) { ParseRead(data, size); }
    int AudioRecordLength() const { return m_audioRecordLength; }

protected:
    // The driver of the device class (a board driver for the boards).
    virtual std::unique_ptr<CDeviceDriver> MakeDriver();
    // The reading thread's loop: waits for the driver's data, reads and
    // parses the record stream. A device class with its own stream format
    // replaces it, using the helpers below (reading thread only).
    virtual void ReadingLoop();
    bool StopRequested() const { return m_stopReading.load(); }
    CAutoResetEvent& DataEvent() { return *m_dataEvent; }
    // Takes up the requests of other threads about the block format; the
    // samples per block and level shift of group 0 as the reader uses them.
    void TakeUpReaderRequests() { ParseRead(nullptr, 0); }
    int ReaderBlockSamples(int group) const { return m_parser.BlockSamples(group); }
    // One block of a channel through the pipeline (high-pass filter, stages,
    // level, audio handler), channel lock held. A class whose stream carries
    // line polarity in its status blocks controls it there instead (below).
    void ProcessReaderBlockLocked(int channel, int16_t* samples, std::size_t count,
                                  HighPassPlace place) REQUIRES(m_bank->Lock()) {
        ProcessChannelBlock(channel, samples, count, m_readerLevelShift[0], place);
    }
    // Polarity control once per status block: a fixed mode sends its command
    // once; the automatic mode counts blocksPerStatus blocks per status block
    // while the line is free and sends the test pulse when the count reaches
    // the check interval. observed (1 or -1) is the polarity the line reports.
    void ControlPolarityByStatus(int channel, int observed, uint32_t blocksPerStatus)
        REQUIRES(m_bank->Lock());
    // An event record (group, channel field, value, code) as if the stream
    // had carried it.
    void DeliverEventRecord(int group, int channelField, uint8_t value, uint8_t code) {
        OnEvent(group, channelField, value, code);
    }
    // The converter word 1 of this class.
    IBoardIoOpener& Opener() { return *m_opener; }
    int BoardIndex() const { return m_boardIndex; }

    // IChannelHooks
    void OnEnableChanged() override;
    // The caller-number hooks: the line logic calls them under the channel
    // lock.
    void ResetDecoders(int channel) override;
    bool DtmfNumber(int channel, std::string& number) override;
    bool CallerNumber(int channel, std::string& number, uint32_t& category) override;
    void ResetCallerNumber(int channel) override;
    void StartCallerNumberRequest(int channel) override;
    uint32_t AonFlags(int channel) const override;
    bool FrequencyActivatorEnabled(int channel) const override;
    bool UseDtmfDecodeForInRings(int channel) const override;
    // Command 24 switches the processor's line monitor of the channel.
    void SwitchLineMonitor(int channel, bool on) override;

private:
    struct Group {
        // Set by Open
        int channels = 0;
        int first = 0;
        // Guarded by the channel lock. The block format the reading thread
        // works with is its own copy (m_readerLevelShift and the parser's).
        int blockSamples = 64;
        int levelShift = 6;
        uint16_t config[8] = {0x810C, 0x82E1, 0x8388, 0x8488, 0x8588, 0x8600, 0x8700, 0x8001};
        std::array<int, kMaxGroupChannels> gains{};
        bool streaming = false;
        int watchdog = 0;
    };
    // Requests to the reading thread about its parser.
    static constexpr uint32_t kResetParser = 1u << 0;
    static constexpr uint32_t kResetGroup0 = 1u << 1;  // << group
    struct Polarity {
        int mode = 1;       // -1, 0 (automatic) or 1
        int state = 0;      // -1, 1, or 0 while undecided
        bool pending = true;
        uint32_t counter = 0;
        uint32_t interval = 5 * 125;
        int16_t highest = 0;
        int16_t lowest = 0;
        uint32_t highestAt = 0;
        uint32_t lowestAt = 0;
        uint32_t position = 0;
    };
    struct HighPass {
        float a = 0.8816f;
        float b = 0.9408f;
        float xPrev = 0;
        float y = 0;
    };

    // IRecordStreamSink (reading thread)
    void OnBlock(int group) override;
    void OnEvent(int group, int channelField, uint8_t value, uint8_t code) override;
    void OnResync(int rejectedPositions) override;
    void OnSplitLimit() override;
    void OnSinkFailure() override;

    // Takes up the requests about the parser, then parses one read (reading
    // thread).
    void ParseRead(const uint8_t* data, std::size_t size);
    // Asks the reading thread for a group's new block format (a rate change).
    void PostBlockFormat(int group, int samples, int levelShift);
    bool AnyGroupStreaming();
    // The reading loop of a network device (reading thread): silence or
    // line-free records after a wait without data, the return of data, and
    // the record length once the device's identity is known.
    void FillRemoteSilence();
    void RemoteDataReturned();
    void FollowRemoteRecordLength();
    // One read of the stream, parsed; false after a read failure.
    bool ReadOnce(std::size_t& received);
    void StopReadingThread();
    // Stops the driver's transfer, then frees the events it signals.
    void ReleaseEvents();
    void FailStart(int error);
    // Channel lock held.
    void ProcessChannelBlock(int channel, int16_t* samples, std::size_t count, int levelShift,
                             HighPassPlace place) REQUIRES(m_bank->Lock());
    void ApplyHighPass(int channel, int16_t* samples, std::size_t count) REQUIRES(m_bank->Lock());
    void ControlPolarity(int channel, const int16_t* samples, std::size_t count)
        REQUIRES(m_bank->Lock());
    void DecodeChannelEvent(int group, int channel, uint8_t value, uint8_t code)
        REQUIRES(m_bank->Lock());
    void ParameterReport(int channel, uint8_t code, uint8_t value) REQUIRES(m_bank->Lock());
    void FeedWatchdog(int group) REQUIRES(m_bank->Lock());
    void BuildGainWords(Group& group);
    // Coefficients and decoder rates of every channel of the group for its
    // channels' rates. Channel lock held.
    void ConfigureGroupRateLocked(int group) REQUIRES(m_bank->Lock());
    void SetHighPass(int channel, uint32_t rate) REQUIRES(m_bank->Lock());
    void ProgramLineParams(int channel, bool groupZeroMode, uint32_t keyEnable);
    bool GroupZeroMode() const { return m_group0Mode; }
    int GroupOf(int channel) const;
    // A group's channel range. Open sets it and nothing changes it while
    // the device is open, so it is read without the channel lock; every
    // other field of a Group is guarded by that lock.
    struct GroupRange {
        int first = 0;
        int channels = 0;
    };
    GroupRange RangeOf(int group) const NO_THREAD_SAFETY_ANALYSIS;
    // Open's reset of fields the channel lock guards: no reading thread runs
    // yet and the bank whose lock guards them is created after it, so it
    // takes no lock.
    void ResetGroupsForOpen(const std::array<Group, kMaxGroups>& groups) NO_THREAD_SAFETY_ANALYSIS;
    void ResetLineStateForOpen() NO_THREAD_SAFETY_ANALYSIS;
    // The service record of a device without a bank (not open): there is no
    // channel lock then, and no reading thread or setter writes it.
    const tagZorvServiceTlfParam& ServiceWithoutBank() const NO_THREAD_SAFETY_ANALYSIS;
    uint32_t ChannelRate(int channel) const;

    // Constant after construction
    const int m_boardIndex;
    IBoardIoOpener* m_opener;

    // Set by Open and Close, constant while started; the stages are set
    // before Start.
    std::unique_ptr<CDeviceDriver> m_driver;
    std::atomic<int> m_audioRecordLength{CRecordStreamParser::kShortAudioLength};
    bool m_group0Mode = false;
    // The caller-number decoders of every channel; its stages are the
    // default caller-number stages of m_stages. Used under the channel lock.
    std::unique_ptr<CCallerNumberUnit> m_numbers;
    BlockStages m_stages;

    // Guarded by the channel lock (Open resets them before any reading thread
    // exists).
    std::array<Group, kMaxGroups> m_groups GUARDED_BY(m_bank->Lock()){};
    std::array<LineParams, kMaxChannelsPerDevice> m_lineParams GUARDED_BY(m_bank->Lock()){};
    std::array<uint32_t, kMaxChannelsPerDevice> m_keyEnable GUARDED_BY(m_bank->Lock()){};
    std::array<Polarity, kMaxChannelsPerDevice> m_polarity GUARDED_BY(m_bank->Lock()){};
    std::array<HighPass, kMaxChannelsPerDevice> m_highPass GUARDED_BY(m_bank->Lock()){};
    tagZorvServiceTlfParam m_service GUARDED_BY(m_bank->Lock()){};

    // Owned by the reading thread (configured by Open while none runs)
    CRecordStreamParser m_parser;
    std::array<int, kMaxGroups> m_readerLevelShift{6, 6, 6};  // with the parser's block lengths
    std::vector<uint8_t> m_readBuffer;                        // allocated by Open
    int m_readFailures = 0;
    // Waits without data of a network device; after kRemoteSilenceWaits the
    // loss is reported once (m_remoteLossPosted).
    static constexpr int kRemoteSilenceWaits = 120;
    int m_remoteTimeouts = 0;
    bool m_remoteLossPosted = false;
    bool m_recordLengthKnown = true;  // false until a network device's board id is known
    IClock::SteadyTime m_lastReadFailureReport{};

    // Requests to the reading thread: kResetParser and kResetGroup0 << g,
    // and per group a new block format (samples | level shift << 16; 0 none).
    std::atomic<uint32_t> m_parserRequests{0};
    std::array<std::atomic<uint32_t>, kMaxGroups> m_pendingBlockFormat{};

    // Created by Start before the reading thread, released after it ended
    std::unique_ptr<CAutoResetEvent> m_dataEvent;
    std::unique_ptr<CAutoResetEvent> m_secondEvent;
    std::thread m_reader;
    std::atomic<bool> m_stopReading{false};
};

}  // namespace zorv
