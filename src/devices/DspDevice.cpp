// A DSP-style device: open, start and stop with their hardware sequences,
// gains and group rates, line parameters, polarity and key settings.
#include "devices/DspDevice.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "core/ServerMessage.h"
#include "devices/BoardDriver.h"
#include "devices/DspProtocol.h"

namespace zorv {
namespace {

using namespace std::chrono_literals;

struct HighPassCoefficients {
    uint32_t rate;
    float a;
    float b;
};
// First-order high-pass filters near 160 Hz.
constexpr HighPassCoefficients kHighPass[] = {
    {8000, 0.8816f, 0.9408f},  {11025, 0.9128f, 0.9564f}, {12000, 0.9195f, 0.9597f},
    {16000, 0.9391f, 0.9695f}, {22050, 0.9555f, 0.9777f}, {24000, 0.9591f, 0.9795f},
    {32000, 0.9691f, 0.9845f}, {44100, 0.9773f, 0.9887f}, {48000, 0.9792f, 0.9896f},
    {64000, 0.9844f, 0.9922f},
};

uint8_t& ByteOf(LineParams& params, std::size_t offset) {
    return reinterpret_cast<uint8_t*>(&params)[offset];
}

}  // namespace

bool BlockFormatOf(uint32_t sampleRate, int& samples, int& levelShift, uint16_t& rateCode) {
    switch (sampleRate) {
        case 8000:
            samples = 64;
            levelShift = 6;
            rateCode = 0x810C;
            return true;
        case 16000:
            samples = 128;
            levelShift = 7;
            rateCode = 0x810D;
            return true;
        case 32000:
            samples = 256;
            levelShift = 8;
            rateCode = 0x810E;
            return true;
        case 64000:
            samples = 512;
            levelShift = 9;
            rateCode = 0x810F;
            return true;
        default:
            return false;
    }
}

CDspDevice::CDspDevice(const DeviceContext& context, int boardIndex, IBoardIoOpener* opener)
    : CRecordDevice(context),
      m_boardIndex(boardIndex),
      m_opener(opener != nullptr ? opener : &SystemBoardIoOpener()),
      m_parser(*this) {
    m_numbers = std::make_unique<CCallerNumberUnit>();
    m_lineParams.fill(kDefaultLineParams);
    m_stages.callerIdDemodulator = &m_numbers->CallerIdStage();
    m_stages.aonActivation = &m_numbers->LevelStage();
    m_stages.aonDecoder = &m_numbers->LineStage();
}

CDspDevice::~CDspDevice() {
    StopReadingThread();
    ReleaseEvents();
    if (m_driver) {
        m_driver->Close();
    }
}

std::unique_ptr<CDeviceDriver> CDspDevice::MakeDriver() {
    return std::make_unique<CBoardDriver>(*m_opener, Clock());
}

bool CDspDevice::CreateDriver() {
    if (!m_driver) {
        m_driver = MakeDriver();
    }
    return m_driver != nullptr;
}

uint32_t CDspDevice::GetDeviceNumber() const {
    return m_hardware.SerialNumber;
}

bool CDspDevice::Open() {
    // The parser is configured below: no reading thread may run meanwhile.
    StopReadingThread();
    if (!CreateDriver() || !m_driver->Open(m_boardIndex)) {
        m_error = kDeviceNotFound;
        return false;
    }
    m_driver->SetDeviceIndex(m_deviceIndex.load());
    if (!m_driver->GetHardwareInfo(m_hardware)) {
        m_error = kDeviceConfigUnreadable;
        return false;
    }
    std::array<int, kMaxGroups> counts{};
    std::array<int, kMaxGroups> firsts{};
    int total = 0;
    std::array<Group, kMaxGroups> groups{};
    for (int g = 0; g < kMaxGroups; ++g) {
        Group& group = groups[static_cast<std::size_t>(g)];
        group.channels = std::clamp(m_driver->GroupChannelCount(g), 0, kMaxGroupChannels);
        group.first = total;
        counts[static_cast<std::size_t>(g)] = group.channels;
        firsts[static_cast<std::size_t>(g)] = group.first;
        total += group.channels;
    }
    ResetGroupsForOpen(groups);
    try {
        m_readBuffer.assign(kReadBufferSize, 0);
    } catch (const std::bad_alloc&) {
        m_error = kDeviceNoMemory;
        return false;
    }
    // The record length and the group-0 mode are those of the layout the
    // information word describes.
    const BoardLayout layout = BoardLayout::Decode(m_hardware.BoardID);
    m_audioRecordLength = static_cast<int>(layout.AudioRecordLength());
    m_group0Mode = layout.group0Mode;
    m_parser.Configure(m_audioRecordLength, counts, firsts);
    // A network device learns its record length when its identity arrives.
    m_recordLengthKnown = m_driver->IsLocalHardware() || layout.boardId != 0;
    m_remoteTimeouts = 0;
    m_remoteLossPosted = false;
    m_readerLevelShift.fill(6);
    m_parserRequests = 0;
    for (auto& format : m_pendingBlockFormat) {
        format = 0;
    }
    ResetLineStateForOpen();
    CreateChannels(total);
    m_numbers->Attach(m_bank.get());
    m_error = kDeviceOk;
    return true;
}

void CDspDevice::ResetGroupsForOpen(const std::array<Group, kMaxGroups>& groups) {
    m_groups = groups;
}

void CDspDevice::ResetLineStateForOpen() {
    m_service = tagZorvServiceTlfParam{};
    for (Polarity& p : m_polarity) {
        p = Polarity{};
    }
}

void CDspDevice::Close() {
    StopReadingThread();
    ReleaseEvents();
    m_numbers->Attach(nullptr);
    CRecordDevice::Close();
    if (m_driver) {
        m_driver->Close();
        m_driver.reset();
    }
    m_readBuffer.clear();
    m_readBuffer.shrink_to_fit();
}

void CDspDevice::LoadSettings(const CChannelSettingsFile& settings) {
    CRecordDevice::LoadSettings(settings);
    if (!m_settings) {
        return;
    }
    const uint32_t number = SettingsNumber();
    for (int ch = 0; ch < m_channelCount; ++ch) {
        SetLineParams(ch, ch, m_settings->ReadLineParams(number, ch), false);
        const ChannelAnalysisSettings analysis = m_settings->ReadAnalysis(number, ch);
        SetPolarityMode(ch, static_cast<int>(analysis.polarity), false);
        SetPolarityCheckTimeOut(ch, analysis.polarityCheckTimeOut, false);
        SetGain(ch, static_cast<int>(analysis.gain), false, false);
        SetKeyEnable(ch, ch, analysis.keyEnable, false, false);
        CMutexLock lock(m_bank->Lock());
        m_numbers->Configure(ch, analysis, m_deviceSettings);
    }
}

void CDspDevice::ApplyAonFlags(int channel, uint32_t flags) {
    if (!m_bank || !ChannelsValid(channel, channel)) {
        return;
    }
    CMutexLock lock(m_bank->Lock());
    m_numbers->SetAonFlags(channel, flags);
}

void CDspDevice::ResetDecoders(int channel) {
    m_numbers->ResetDecoders(channel);
}

bool CDspDevice::DtmfNumber(int channel, std::string& number) {
    return m_numbers->DtmfNumber(channel, number);
}

bool CDspDevice::CallerNumber(int channel, std::string& number, uint32_t& category) {
    return m_numbers->CallerNumber(channel, number, category);
}

void CDspDevice::ResetCallerNumber(int channel) {
    m_numbers->ResetCallerNumber(channel);
}

void CDspDevice::StartCallerNumberRequest(int channel) {
    m_numbers->StartCallerId(channel);
}

uint32_t CDspDevice::AonFlags(int channel) const {
    return m_numbers->AonFlags(channel);
}

bool CDspDevice::FrequencyActivatorEnabled(int channel) const {
    return m_numbers->FrequencyActivatorEnabled(channel);
}

bool CDspDevice::UseDtmfDecodeForInRings(int channel) const {
    return m_numbers->UseDtmfDecodeForInRings(channel);
}

CDspDevice::GroupRange CDspDevice::RangeOf(int g) const {
    const Group& group = m_groups[static_cast<std::size_t>(g)];
    return GroupRange{group.first, group.channels};
}

int CDspDevice::GroupOf(int channel) const {
    for (int g = 0; g < kMaxGroups; ++g) {
        const GroupRange group = RangeOf(g);
        if (channel >= group.first && channel < group.first + group.channels) {
            return g;
        }
    }
    return -1;
}

uint32_t CDspDevice::ChannelRate(int channel) const {
    tagChanelParam p{};
    return GetChannelParam(channel, p) ? p.SampleRate : 8000;
}

void CDspDevice::SetHighPass(int channel, uint32_t rate) {
    HighPass& f = m_highPass[static_cast<std::size_t>(channel)];
    f = HighPass{};  // 8000 Hz and any rate not listed
    for (const HighPassCoefficients& c : kHighPass) {
        if (c.rate == rate) {
            f.a = c.a;
            f.b = c.b;
        }
    }
}

void CDspDevice::BuildGainWords(Group& group) {
    for (int pair = 0; pair < 3; ++pair) {
        const auto low = static_cast<uint16_t>(group.gains[static_cast<std::size_t>(2 * pair)] & 7);
        const auto high =
            static_cast<uint16_t>(group.gains[static_cast<std::size_t>(2 * pair + 1)] & 7);
        group.config[2 + pair] = static_cast<uint16_t>((0x8388 + pair * 0x100) | (high << 4) | low);
    }
}

void CDspDevice::ConfigureGroupRateLocked(int g) {
    const Group& group = m_groups[static_cast<std::size_t>(g)];
    for (int ch = group.first; ch < group.first + group.channels; ++ch) {
        const uint32_t rate = m_bank->ParamLocked(ch).SampleRate;
        SetHighPass(ch, rate);
        for (IBlockStage* stage : {m_stages.callerIdDemodulator, m_stages.aonDecoder,
                                   m_stages.frequencyActivator, m_stages.busyAnalyzer}) {
            if (stage != nullptr) {
                stage->SetSampleRate(ch, rate);
            }
        }
    }
}

bool CDspDevice::Start() {
    if (!m_driver || !m_bank) {
        m_error = kDeviceStartFailed;
        return false;
    }
    StopReadingThread();  // a start without a stop before
    m_stopReading = false;
    m_dataEvent = std::make_unique<CAutoResetEvent>();
    m_secondEvent = std::make_unique<CAutoResetEvent>();
    m_readFailures = 0;
    // The reading thread starts with a fresh parser.
    m_parserRequests = kResetParser;
    m_reader = std::thread(&CDspDevice::ReadingLoop, this);

    const uint32_t transferSize = m_deviceSettings.transferSize;
    if (m_driver->StartDevice(transferSize, m_dataEvent.get(), transferSize, m_secondEvent.get()) !=
        0) {
        FailStart(kDeviceStartFailed);
        return false;
    }
    bool configured = false;
    for (int g = 0; g < kMaxGroups; ++g) {
        const GroupRange range = RangeOf(g);
        if (range.channels == 0) {
            continue;
        }
        // All channels of a group run at the rate of its first channel.
        const uint32_t rate = ChannelRate(range.first);
        if (range.channels > 1) {
            m_bank->SetSampleRate(range.first + 1, range.first + range.channels - 1, rate, true);
        }
        bool supported = false;
        {
            CMutexLock lock(m_bank->Lock());
            Group& group = m_groups[static_cast<std::size_t>(g)];
            ConfigureGroupRateLocked(g);
            uint16_t rateCode = 0;
            supported = BlockFormatOf(rate, group.blockSamples, group.levelShift, rateCode);
            if (supported) {
                group.config[0] = rateCode;
                PostBlockFormat(g, group.blockSamples, group.levelShift);
                BuildGainWords(group);
                if (m_driver->WriteGroupConfig(g, group.config)) {
                    m_service.AdcPresent[g] = 1;
                    configured = true;
                } else {
                    m_service.AdcPresent[g] = 2;
                    m_driver->StopGroup(g);
                    group.streaming = false;
                }
            }
        }
        if (!supported) {
            FailStart(kDeviceBadChannelOrRate);
            return false;
        }
    }
    if (!configured) {
        FailStart(kDeviceConverterFailed);
        return false;
    }
    if (!m_driver->StartTransfer(transferSize, m_dataEvent.get())) {
        FailStart(kDeviceStartFailed);
        return false;
    }
    {
        CMutexLock lock(m_bank->Lock());
        m_service.MinChTlf = 0;
    }
    for (int g = 0; g < kMaxGroups; ++g) {
        const GroupRange range = RangeOf(g);
        if (range.channels == 0) {
            continue;
        }
        m_driver->SetEnableBit(2 * g, true);
        m_driver->SetEnableBit(2 * g + 1, true);
        m_driver->ChannelCommand(range.first, Code(DspCommand::RequestVersion), 0);
        m_driver->ChannelCommand(range.first, Code(DspCommand::RequestStatus), 0);
        const bool groupZeroMode = g == 0 && GroupZeroMode();
        std::array<uint32_t, kMaxGroupChannels> keys{};
        {
            CMutexLock lock(m_bank->Lock());
            Group& group = m_groups[static_cast<std::size_t>(g)];
            group.watchdog = 0;
            m_parserRequests.fetch_or(kResetGroup0 << g);
            for (int k = 0; k < group.channels; ++k) {
                keys[static_cast<std::size_t>(k)] =
                    m_keyEnable[static_cast<std::size_t>(group.first + k)];
            }
            if (!groupZeroMode) {
                m_service.MaxChTlf = static_cast<uint32_t>(group.first + group.channels - 1);
            }
        }
        for (int k = 0; k < range.channels; ++k) {
            ProgramLineParams(range.first + k, groupZeroMode, keys[static_cast<std::size_t>(k)]);
        }
    }
    OnEnableChanged();
    m_error = kDeviceOk;
    return true;
}

// Initialises a channel's processor; outside the group-0 mode, the reads of
// every parameter make the processor report it, so that any difference from
// the stored copy comes to light.
void CDspDevice::ProgramLineParams(int channel, bool groupZeroMode, uint32_t keyEnable) {
    m_driver->ChannelCommand(channel, Code(DspCommand::Initialise), 0);
    if (groupZeroMode) {
        if (keyEnable == 1) {
            m_driver->ChannelCommand(channel, Code(DspCommand::Key), 1);
            m_driver->ChannelCommand(channel, Code(DspCommand::WriteAonRequestNumber), 0);
        }
        return;
    }
    for (DspCommand read : kLineParamReadOrder) {
        m_driver->ChannelCommand(channel, Code(read), 0);
    }
}

void CDspDevice::OnEnableChanged() {
    if (!m_driver || !m_bank) {
        return;
    }
    CMutexLock lock(m_bank->Lock());
    for (int g = 0; g < kMaxGroups; ++g) {
        Group& group = m_groups[static_cast<std::size_t>(g)];
        bool anyEnabled = false;
        for (int ch = group.first; ch < group.first + group.channels; ++ch) {
            anyEnabled = anyEnabled || m_bank->ParamLocked(ch).Enable == 1;
        }
        if (anyEnabled && !group.streaming && m_service.AdcPresent[g] == 1) {
            m_driver->SetEnableBit(2 * g, true);
            m_driver->SetEnableBit(2 * g + 1, true);
            group.streaming = true;
        } else if (!anyEnabled) {
            group.streaming = false;
        }
    }
}

void CDspDevice::StopReadingThread() {
    m_stopReading = true;
    if (m_dataEvent) {
        m_dataEvent->Set();
    }
    if (m_reader.joinable()) {
        m_reader.join();
    }
}

void CDspDevice::ReleaseEvents() {
    // The driver may signal the events until its transfer stops.
    if (m_driver && m_driver->IsOpen()) {
        m_driver->StopTransfer();
    }
    m_dataEvent.reset();
    m_secondEvent.reset();
}

void CDspDevice::FailStart(int error) {
    m_error = error;
    StopReadingThread();
    ReleaseEvents();
}

void CDspDevice::Stop() {
    StopReadingThread();
    CRecordDevice::Stop();  // releases manual activations
    if (m_driver && m_driver->IsOpen()) {
        for (int ch = 0; ch < m_channelCount; ++ch) {
            m_driver->ChannelCommand(ch, Code(DspCommand::Monitor), 0);
            m_driver->ChannelCommand(ch, Code(DspCommand::Initialise), 0);
            if (m_stages.noiseSuppressor != nullptr) {
                m_stages.noiseSuppressor->Reset(ch);
            }
        }
        for (int g = 0; g < kMaxGroups; ++g) {
            if (RangeOf(g).channels > 0) {
                m_driver->StopGroup(g);
            }
        }
    }
    ReleaseEvents();
    if (m_bank) {
        m_bank->StopAllRecords();
    }
}

int CDspDevice::SetGain(int channel, int gain, bool program, bool persist) {
    if (!m_bank) {
        return 0;
    }
    const int g = GroupOf(channel);
    if (g < 0) {
        m_error = kDeviceBadChannelOrRate;
        return 0;
    }
    if (gain < 0 || gain > 7) {
        return 0;
    }
    {
        CMutexLock lock(m_bank->Lock());
        Group& group = m_groups[static_cast<std::size_t>(g)];
        group.gains[static_cast<std::size_t>(channel - group.first)] = gain;
    }
    if (persist && m_settings) {
        m_settings->WriteChannelValue(SettingsNumber(), channel, "Gain",
                                      static_cast<uint32_t>(gain));
    }
    if (!program || !m_driver) {
        return 1;
    }
    m_driver->SetEnableBit(2 * g, false);
    Clock().SleepFor(20ms);
    bool written = false;
    bool streaming = false;
    {
        CMutexLock lock(m_bank->Lock());
        Group& group = m_groups[static_cast<std::size_t>(g)];
        BuildGainWords(group);
        written = m_driver->WriteGroupConfig(g, group.config);
        m_service.AdcPresent[g] = written ? 1 : 2;
        streaming = group.streaming;
    }
    if (!written) {
        m_error = kDeviceConverterFailed;
        m_driver->SetEnableBit(2 * g, false);
        m_driver->SetEnableBit(2 * g + 1, false);
        Server().Post(kMsgFailure, 1, m_deviceIndex.load(), kDeviceConverterFailed);
        return 0;
    }
    if (streaming) {
        Clock().SleepFor(20ms);
        m_driver->SetEnableBit(2 * g, true);
    }
    return 1;
}

int CDspDevice::SetGroupSampleRate(int g, uint32_t rate) {
    if (g < 0 || g >= kMaxGroups || RangeOf(g).channels == 0 || !m_driver || !m_bank) {
        return 0;
    }
    const GroupRange range = RangeOf(g);
    // The rate is checked before any channel changes, so a refused rate
    // leaves the group as it was.
    int samples = 0;
    int shift = 0;
    uint16_t rateCode = 0;
    if (!BlockFormatOf(rate, samples, shift, rateCode)) {
        m_error = kDeviceBadChannelOrRate;
        return 0;
    }
    m_driver->SetEnableBit(2 * g, false);
    Clock().SleepFor(20ms);
    const int result =
        m_bank->SetSampleRate(range.first, range.first + range.channels - 1, rate, true);
    bool written = false;
    bool streaming = false;
    {
        CMutexLock lock(m_bank->Lock());
        Group& group = m_groups[static_cast<std::size_t>(g)];
        group.blockSamples = samples;
        group.levelShift = shift;
        group.config[0] = rateCode;
        written = m_driver->WriteGroupConfig(g, group.config);
        if (written) {
            ConfigureGroupRateLocked(g);
            m_service.AdcPresent[g] = 1;
        } else {
            m_service.AdcPresent[g] = 2;
        }
        streaming = group.streaming;
        // The reading thread changes the parser's block length and the level
        // shift together, and starts the group's block afresh.
        PostBlockFormat(g, samples, shift);
        for (int ch = group.first; ch < group.first + group.channels; ++ch) {
            if (m_stages.noiseSuppressor != nullptr) {
                m_stages.noiseSuppressor->SetSampleRate(ch, rate);
            }
        }
    }
    if (!written) {
        m_error = kDeviceConverterFailed;
        Server().Post(kMsgFailure, 1, m_deviceIndex.load(), kDeviceConverterFailed);
        m_driver->SetEnableBit(2 * g + 1, false);
        return 0;
    }
    if (streaming) {
        Clock().SleepFor(20ms);
        m_driver->SetEnableBit(2 * g, true);
    }
    return result;
}

void CDspDevice::PostBlockFormat(int g, int samples, int levelShift) {
    m_pendingBlockFormat[static_cast<std::size_t>(g)].store(
        static_cast<uint32_t>(samples) | (static_cast<uint32_t>(levelShift) << 16));
}

int CDspDevice::RestartHardware() {
    if (!m_driver || !m_bank) {
        return 0;
    }
    CMutexLock lock(m_bank->Lock());
    m_driver->SetEnableBit(0, false);
    m_driver->SetEnableBit(1, false);
    Clock().SleepFor(20ms);
    m_driver->WriteGroupConfig(0, m_groups[0].config);
    Clock().SleepFor(20ms);
    m_driver->SetEnableBit(0, true);
    m_driver->SetEnableBit(1, true);
    m_driver->AfterRestart();
    const bool groupZeroMode = GroupZeroMode();
    for (int ch = 0; ch < m_channelCount; ++ch) {
        ProgramLineParams(ch, groupZeroMode, m_keyEnable[static_cast<std::size_t>(ch)]);
    }
    if (!groupZeroMode) {
        m_service.MaxChTlf = static_cast<uint32_t>(m_channelCount);
    }
    m_driver->ChannelCommand(0, Code(DspCommand::RequestVersion), 0);
    m_driver->ChannelCommand(0, Code(DspCommand::RequestStatus), 0);
    for (Polarity& p : m_polarity) {
        p.pending = true;
        if (p.mode == 0) {
            p.state = 0;
        }
    }
    return 1;
}

int CDspDevice::SetLineParams(int first, int last, const LineParams& params, bool program) {
    // The caller-number detect length covers the whole request sequence.
    const uint32_t detect =
        ((params.AonRequestLength + params.AonRequestPauseBetween * 10u) * params.AonRequestNumber +
         params.AonRequestPauseFirst * 10u) /
        1000;
    if (m_bank) {
        CMutexLock lock(m_bank->Lock());
        if (m_bank->Values().numberDetectSeconds < detect) {
            m_bank->Values().numberDetectSeconds = detect;
        }
    }
    if (!m_bank || !ChannelsValid(first, last)) {
        return 0;
    }
    const bool range = first != last;
    auto monitor = [&](int value) {
        for (int ch = first; ch <= last && m_driver; ++ch) {
            if (m_bank->GetChannelState(ch).Listen == 3) {
                m_driver->ChannelCommand(ch, Code(DspCommand::Monitor), value);
            }
        }
    };
    if (range && program) {
        monitor(0);
    }
    for (int ch = first; ch <= last; ++ch) {
        bool sent = false;
        {
            CMutexLock lock(m_bank->Lock());
            LineParams& copy = m_lineParams[static_cast<std::size_t>(ch)];
            if (!program) {
                copy = params;
                continue;
            }
            if (!m_driver || GroupOf(ch) < 0) {
                continue;
            }
            LineParams wanted = params;
            for (const LineParamField& b : kLineParamFields) {
                if (ByteOf(copy, b.offset) != ByteOf(wanted, b.offset)) {
                    ByteOf(copy, b.offset) = ByteOf(wanted, b.offset);
                    m_driver->ChannelCommand(ch, Code(b.write), ByteOf(wanted, b.offset));
                    sent = true;
                }
            }
        }
        if (range && sent) {
            Clock().SleepFor(100ms);
        }
    }
    if (range && program) {
        monitor(1);
    }
    if (program && m_settings) {
        m_settings->WriteLineParams(SettingsNumber(), first, last, params);
    }
    return 1;
}

bool CDspDevice::GetLineParams(int channel, LineParams& out) const {
    if (channel < 0 || channel >= m_channelCount || !m_bank) {
        return false;
    }
    CMutexLock lock(m_bank->Lock());
    out = m_lineParams[static_cast<std::size_t>(channel)];
    return true;
}

int CDspDevice::SetKeyEnable(int first, int last, uint32_t value, bool program, bool persist) {
    if (!m_bank || !ChannelsValid(first, last)) {
        return 0;
    }
    {
        CMutexLock lock(m_bank->Lock());
        for (int ch = first; ch <= last; ++ch) {
            m_keyEnable[static_cast<std::size_t>(ch)] = value;
        }
    }
    for (int ch = first; ch <= last; ++ch) {
        if (program && m_driver) {
            m_driver->ChannelCommand(ch, Code(DspCommand::Key), value == 1 ? 1 : 0);
        }
    }
    if (persist && m_settings) {
        m_settings->WriteChannelRange(SettingsNumber(), first, last, "KeyEnable", value);
    }
    return 1;
}

int CDspDevice::SetPolarityMode(int channel, int mode, bool persist) {
    if (!m_bank || !ChannelsValid(channel, channel) || mode < -1 || mode > 1) {
        return 0;
    }
    {
        CMutexLock lock(m_bank->Lock());
        Polarity& p = m_polarity[static_cast<std::size_t>(channel)];
        const uint32_t interval = p.interval;
        p = Polarity{};
        p.interval = interval;
        p.mode = mode;
        p.state = mode;
        p.pending = true;
    }
    if (persist && m_settings) {
        // "%u" as every key: -1 is stored as 4294967295 and reads back as -1.
        m_settings->WriteChannelValue(SettingsNumber(), channel, "Polarity",
                                      static_cast<uint32_t>(mode));
    }
    return 1;
}

int CDspDevice::SetPolarityCheckTimeOut(int channel, uint32_t seconds, bool persist) {
    if (!m_bank || !ChannelsValid(channel, channel) || seconds < 5 || seconds > 300) {
        return 0;
    }
    {
        CMutexLock lock(m_bank->Lock());
        Polarity& p = m_polarity[static_cast<std::size_t>(channel)];
        p.interval = seconds * 125;
        p.counter = 0;
    }
    if (persist && m_settings) {
        m_settings->WriteChannelValue(SettingsNumber(), channel, "PolarityCheckTimeOut", seconds);
    }
    return 1;
}

int CDspDevice::GetPolarityCheckTimeOut(int channel) const {
    if (channel < 0 || channel >= m_channelCount || !m_bank) {
        return 0;
    }
    CMutexLock lock(m_bank->Lock());
    return static_cast<int>(m_polarity[static_cast<std::size_t>(channel)].interval / 125);
}

tagZorvServiceTlfParam CDspDevice::ServiceParams() const {
    if (m_bank) {
        CMutexLock lock(m_bank->Lock());
        return m_service;
    }
    return ServiceWithoutBank();
}

const tagZorvServiceTlfParam& CDspDevice::ServiceWithoutBank() const {
    return m_service;
}

void CDspDevice::MarkGroupFailed(int g) {
    if (g < 0 || g >= kMaxGroups || !m_bank) {
        return;
    }
    CMutexLock lock(m_bank->Lock());
    const Group& group = m_groups[static_cast<std::size_t>(g)];
    for (int ch = group.first; ch < group.first + group.channels; ++ch) {
        m_bank->MarkFaultLocked(ch);
    }
}

void CDspDevice::SwitchLineMonitor(int channel, bool on) {
    if (m_driver) {
        m_driver->ChannelCommand(channel, Code(DspCommand::Monitor), on ? 1 : 0);
    }
}

}  // namespace zorv
