#include "devices/Net2Device.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "core/CodedException.h"
#include "core/ExceptionSource.h"
#include "core/ServerMessage.h"
#include "devices/DspProtocol.h"
#include "devices/Net2Driver.h"
#include "platform/ThreadPriority.h"

namespace zorv {

namespace {

using namespace std::chrono_literals;

constexpr auto kDataWait = 3000ms;
constexpr auto kReadPeriod = 60ms;
// Line-monitor events delivered per status block while a line's monitor is on.
constexpr int kMonitorEventsPerBlock = 36;
constexpr uint64_t kInitRequested = 1ull << 63;

int RateIndex(uint32_t rate) {
    switch (rate) {
        case 8000:
            return 0;
        case 16000:
            return 1;
        case 32000:
            return 2;
        default:
            return -1;
    }
}

// A stored codec setting of a rate, taken when it is one a client could set.
template <typename Codec>
void TakeStoredCodec(Codec& codec, uint32_t rate, uint32_t compression, uint32_t speexMode) {
    const int r = RateIndex(rate);
    const bool speexOk = compression != kCompressSpeex || SpeexFrameBytes(rate, speexMode) != 0;
    if (r < 0 || compression > kCompressAlaw || !speexOk) {
        return;
    }
    codec.compression[static_cast<std::size_t>(r)] = compression;
    if (r < 2 && compression == kCompressSpeex) {
        codec.speexMode[static_cast<std::size_t>(r)] = speexMode;
    }
}

}  // namespace

CNet2Device::CNet2Device(const DeviceContext& context, int candidate,
                         CTranscoderConfigurator& transcoders)
    : CDspDevice(context, candidate), m_transcoders(transcoders) {}

CNet2Device::~CNet2Device() = default;

std::unique_ptr<CDeviceDriver> CNet2Device::MakeDriver() {
    return std::make_unique<CNet2Driver>(m_transcoders, Server());
}

CNet2Driver* CNet2Device::Net2Driver() {
    return static_cast<CNet2Driver*>(GetDriver());
}

bool CNet2Device::Open() {
    if (!CDspDevice::Open()) {
        return false;
    }
    try {
        m_parser = std::make_unique<CNet2PacketParser>(m_channelCount);
        m_events = std::make_unique<CNet2EventDecoder>(m_channelCount);
        m_stream.assign(kStreamBufferSize, 0);
        m_block.assign(512, 0);  // the longest block (64000 Hz)
    } catch (const std::bad_alloc&) {
        m_error = kDeviceNoMemory;
        return false;
    }
    m_streamHeld = 0;
    m_gap = false;
    return true;
}

void CNet2Device::LoadSettings(const CChannelSettingsFile& settings) {
    CDspDevice::LoadSettings(settings);
    CScopedLock lock(m_codecLock);
    // Stored values are validated as a client's would be.
    const DeviceSettings& d = m_deviceSettings;
    TakeStoredCodec(m_codec, 8000, d.codecCompress8Mode, d.codecSpeex8Mode);
    TakeStoredCodec(m_codec, 16000, d.codecCompress16Mode, d.codecSpeex16Mode);
    if (d.codecCompress32Mode != kCompressSpeex) {
        TakeStoredCodec(m_codec, 32000, d.codecCompress32Mode, 0);
    }
    m_codec.bufferMode = d.codecBufferMode != 0 ? 1 : 0;
}

uint32_t CNet2Device::Channel0Rate() const {
    tagChanelParam param{};
    if (m_bank == nullptr || !m_bank->GetChannelParam(0, param)) {
        return 8000;
    }
    return param.SampleRate;
}

bool CNet2Device::Start() {
    if (m_bank == nullptr) {
        m_error = kDeviceStartFailed;
        return false;
    }
    // Only the rates the transcoder's codec knows.
    for (int ch = 0; ch < m_channelCount; ++ch) {
        tagChanelParam param{};
        if (m_bank->GetChannelParam(ch, param) && RateIndex(param.SampleRate) < 0) {
            m_error = kDeviceBadChannelOrRate;
            return false;
        }
    }
    RequestParserInit(Channel0Rate());
    return CDspDevice::Start();
}

void CNet2Device::RequestParserInit(uint32_t rate) {
    uint32_t compression = 0;
    uint32_t speexMode = 0;
    {
        CScopedLock lock(m_codecLock);
        const int r = RateIndex(rate);
        if (r >= 0) {
            compression = m_codec.compression[static_cast<std::size_t>(r)];
            speexMode = r < 2 ? m_codec.speexMode[static_cast<std::size_t>(r)] : 0;
        }
    }
    m_parserInit =
        kInitRequested | rate | (uint64_t{compression} << 32) | (uint64_t{speexMode} << 40);
}

void CNet2Device::TakeUpParserInit() {
    const uint64_t request = m_parserInit.exchange(0);
    if ((request & kInitRequested) == 0 || !m_parser) {
        return;
    }
    const auto rate = static_cast<uint32_t>(request & 0xFFFFFFFF);
    const auto compression = static_cast<uint32_t>((request >> 32) & 0xFF);
    const auto speexMode = static_cast<uint32_t>((request >> 40) & 0xFF);
    m_parser->Init(rate, compression, speexMode);
    m_events->Reset();
    m_streamHeld = 0;
}

void CNet2Device::ReadingLoop() {
    SetCurrentThreadTimeCritical();  // refused without privilege: normal priority
    CNet2Driver* driver = Net2Driver();
    auto lastRead = std::chrono::steady_clock::now();
    while (!StopRequested()) {
        // Packets come every 20 ms: the stream is read at most every
        // kReadPeriod, each read taking what has come meanwhile, so that a
        // device wakes once for several packets.
        const auto sinceRead = std::chrono::steady_clock::now() - lastRead;
        if (sinceRead < kReadPeriod) {
            std::this_thread::sleep_for(kReadPeriod - sinceRead);
        }
        const bool signalled = DataEvent().Wait(kDataWait);
        lastRead = std::chrono::steady_clock::now();
        if (StopRequested()) {
            break;
        }
        try {
            TakeUpReaderRequests();
            TakeUpParserInit();
            ShowNoData(!signalled);
            if (!signalled || driver == nullptr || driver->Flow() == nullptr) {
                continue;
            }
            bool restarted = false;
            const std::size_t received = driver->Flow()->ReadData(
                m_stream.data() + m_streamHeld, m_stream.size() - m_streamHeld, restarted);
            m_gap = m_gap || restarted;
            m_streamHeld += std::min(received, m_stream.size() - m_streamHeld);
            bool framingError = false;
            const std::size_t used =
                m_parser->Parse(m_stream.data(), m_streamHeld, *this, framingError);
            if (framingError || (used == 0 && m_streamHeld == m_stream.size())) {
                // Drop the packet, start over with fresh decoders and a fresh stream.
                m_parser->Reset();
                m_events->Reset();
                m_streamHeld = 0;
                driver->Flow()->RestartStream();
                continue;
            }
            std::memmove(m_stream.data(), m_stream.data() + used, m_streamHeld - used);
            m_streamHeld -= used;
            ProcessDecoded();
        } catch (...) {
            const ExceptionSourceFields source = DeviceExceptionSource(m_deviceIndex.load());
            Server().Post(kMsgException, CurrentExceptionCode(), source.b, source.c);
        }
    }
}

void CNet2Device::ShowNoData(bool noData) {
    CMutexLock lock(m_bank->Lock());
    for (int ch = 0; ch < m_bank->Count(); ++ch) {
        if (noData) {
            m_bank->ShowNoDataLocked(ch);
        } else {
            m_bank->NoDataEndedLocked(ch);
        }
    }
}

void CNet2Device::OnPacketStart() {
    ProcessDecoded();
}

void CNet2Device::ProcessDecoded() {
    const int blockSamples = ReaderBlockSamples(0);
    if (blockSamples <= 0 || static_cast<std::size_t>(blockSamples) > m_block.size()) {
        return;
    }
    const auto n = static_cast<std::size_t>(blockSamples);
    const HighPassPlace place =
        m_parser->Compression() == kCompressSpeex ? HighPassPlace::kAfterAon : HighPassPlace::kFirst;
    for (int pass = 0; pass < 2; ++pass) {
        bool any = true;
        while (any) {
            any = false;
            for (int ch = 0; ch < m_parser->Channels(); ++ch) {
                const std::span<const int16_t> decoded = m_parser->Decoded(ch);
                if (decoded.size() < n) {
                    continue;
                }
                any = true;
                std::copy_n(decoded.begin(), n, m_block.begin());
                {
                    CMutexLock lock(m_bank->Lock());
                    ProcessReaderBlockLocked(ch, m_block.data(), n, place);
                }
                m_parser->Drop(ch, n);
            }
        }
        if (!m_gap) {
            break;
        }
        // The stream restarted: one second of silence keeps the records'
        // time, then what remains is processed.
        m_gap = false;
        m_parser->AppendSilence(m_parser->Rate());
    }
}

void CNet2Device::OnEventBlock(std::span<const uint8_t> block) {
    std::array<CNet2EventDecoder::ChannelEvents, kNet2MaxChannels> events{};
    const int channels = std::min(m_parser->Channels(), kNet2MaxChannels);
    m_events->Decode(block, std::span(events.data(), static_cast<std::size_t>(channels)));
    {
        CMutexLock lock(m_bank->Lock());
        for (int ch = 0; ch < channels; ++ch) {
            ControlPolarityByStatus(ch, events[static_cast<std::size_t>(ch)].polarity,
                                    kNet2BlocksPerStatus);
        }
    }
    CNet2Driver* driver = Net2Driver();
    for (int ch = 0; ch < channels; ++ch) {
        const CNet2EventDecoder::ChannelEvents& e = events[static_cast<std::size_t>(ch)];
        const auto line = static_cast<uint8_t>(DspEvent::Line);
        if (e.callOut) {
            DeliverEventRecord(0, ch, 3, line);
        }
        if (e.digit >= 0) {
            DeliverEventRecord(0, ch, static_cast<uint8_t>(e.digit),
                               static_cast<uint8_t>(DspEvent::Digit));
        }
        if (e.lineValue >= 0) {
            DeliverEventRecord(0, ch, static_cast<uint8_t>(e.lineValue), line);
        }
        if (driver != nullptr && driver->MonitorOn(ch)) {
            for (int i = 0; i < kMonitorEventsPerBlock; ++i) {
                DeliverEventRecord(0, ch, e.monitorByte, static_cast<uint8_t>(DspEvent::Monitor));
            }
        }
    }
}

uint32_t CNet2Device::EnabledMask() {
    uint32_t mask = 0;
    for (int ch = 0; ch < m_channelCount && ch < kNet2MaxChannels; ++ch) {
        tagChanelParam param{};
        if (m_bank != nullptr && m_bank->GetChannelParam(ch, param) && param.Enable != 0) {
            mask |= 1u << ch;
        }
    }
    return mask;
}

bool CNet2Device::ApplyCodec() {
    CNet2Driver* driver = Net2Driver();
    if (driver == nullptr || driver->Flow() == nullptr) {
        return false;
    }
    CNet2FlowProcessor& flow = *driver->Flow();
    CScopedLock lock(m_codecLock);
    const uint32_t rate = Channel0Rate();
    const int r = RateIndex(rate);
    if (r < 0) {
        return false;
    }
    const uint32_t compression = m_codec.compression[static_cast<std::size_t>(r)];
    const uint32_t speexMode = r < 2 ? m_codec.speexMode[static_cast<std::size_t>(r)] : 0;
    RequestParserInit(rate);
    if (!flow.SetBufferMode(compression,
                            Net2BufferValue(m_codec.bufferMode, rate, compression, speexMode))) {
        return false;
    }
    if (compression == kCompressSpeex) {
        const bool set = r == 0 ? flow.SetSpeex8kHz(speexMode) : flow.SetSpeex16kHz(speexMode);
        if (!set) {
            return false;
        }
    }
    bool speexOk = true;
    if (!flow.SetCompression(compression, speexOk)) {
        if (compression == kCompressSpeex && !speexOk) {
            Server().Post(kMsgTranscoderCodec, m_deviceIndex.load(),
                          static_cast<int32_t>(driver->GetSerialNumber()),
                          static_cast<int32_t>(rate));
        }
        return false;
    }
    const uint32_t mask = EnabledMask();
    return flow.SetFrequency(static_cast<uint32_t>(r)) && flow.SetLineOnOff(mask) &&
           flow.SetLineState(mask) && flow.UpdateCodec();
}

int CNet2Device::SetCodecMode(int sampleRate, int compression, int speexMode, int apply) {
    const int r = RateIndex(static_cast<uint32_t>(sampleRate));
    const bool speex = compression == static_cast<int>(kCompressSpeex);
    const bool valid = r >= 0 && compression >= 0 &&
                       compression <= static_cast<int>(kCompressAlaw) && !(r == 2 && speex) &&
                       (!speex || SpeexFrameBytes(static_cast<uint32_t>(sampleRate),
                                                  static_cast<uint32_t>(speexMode)) != 0);
    if (!valid) {
        return 1;
    }
    CScopedLock lock(m_codecLock);
    m_codec.compression[static_cast<std::size_t>(r)] = static_cast<uint32_t>(compression);
    if (speex) {
        m_codec.speexMode[static_cast<std::size_t>(r)] = static_cast<uint32_t>(speexMode);
    }
    if (apply != 0 && Channel0Rate() == static_cast<uint32_t>(sampleRate)) {
        ApplyCodec();
    }
    return 0;
}

int CNet2Device::GetCodecMode(int sampleRate, int& compression, int& speexMode) {
    const int r = RateIndex(static_cast<uint32_t>(sampleRate));
    if (r < 0) {
        return 1;
    }
    CScopedLock lock(m_codecLock);
    compression = static_cast<int>(m_codec.compression[static_cast<std::size_t>(r)]);
    speexMode = r < 2 ? static_cast<int>(m_codec.speexMode[static_cast<std::size_t>(r)]) : 0;
    return 0;
}

int CNet2Device::SetBufferMode(int mode, int apply) {
    CScopedLock lock(m_codecLock);
    const uint32_t value = mode != 0 ? 1 : 0;
    const bool changed = value != m_codec.bufferMode;
    m_codec.bufferMode = value;
    if (changed && apply != 0) {
        ApplyCodec();
    }
    return 0;
}

int CNet2Device::GetBufferMode(int& mode) {
    CScopedLock lock(m_codecLock);
    mode = static_cast<int>(m_codec.bufferMode);
    return 0;
}

int CNet2Device::SetGroupSampleRate(int group, uint32_t rate) {
    if (RateIndex(rate) < 0) {
        m_error = kDeviceBadChannelOrRate;
        return 0;
    }
    const int result = CDspDevice::SetGroupSampleRate(group, rate);
    if (result != 0) {
        ApplyCodec();
    }
    return result;
}

int CNet2Device::SetGain(int channel, int gain, bool program, bool persist) {
    if (gain < 0 || gain >= 8) {
        return 0;
    }
    const int result = CDspDevice::SetGain(channel, gain, program, persist);
    if (result == 0 || channel < 0 || channel >= kNet2MaxChannels) {
        return result;
    }
    CScopedLock lock(m_codecLock);
    m_gains[static_cast<std::size_t>(channel)] = static_cast<uint32_t>(gain);
    RequestParserInit(Channel0Rate());
    CNet2Driver* driver = Net2Driver();
    if (program && driver != nullptr && driver->Flow() != nullptr &&
        driver->Flow()->SetGain(static_cast<uint32_t>(channel), static_cast<uint32_t>(gain))) {
        driver->Flow()->UpdateCodec();
    }
    return result;
}

int CNet2Device::RestartHardware() {
    CNet2Driver* driver = Net2Driver();
    if (driver == nullptr || driver->Flow() == nullptr) {
        return 0;
    }
    CNet2FlowProcessor& flow = *driver->Flow();
    for (int ch = 0; ch < m_channelCount && ch < kNet2MaxChannels; ++ch) {
        LineParams p{};
        if (!GetLineParams(ch, p)) {
            continue;
        }
        const uint8_t values[9] = {
            p.LineFailureLevel,     p.LineActivateLevel,      p.LineRingLevel,
            p.MaxRingPause,         p.AonRequestLength,       p.AonRequestNumber,
            p.AonRequestPauseFirst, p.AonRequestPauseBetween, p.MinActivateLevel};
        if (!flow.SetBlockLine(static_cast<uint32_t>(ch), values)) {
            return 0;
        }
    }
    uint32_t gains[6] = {};
    {
        CScopedLock lock(m_codecLock);
        std::copy(m_gains.begin(), m_gains.end(), gains);
    }
    if (!flow.SetBlockGain(gains)) {
        return 0;
    }
    return ApplyCodec() ? 1 : 0;
}

void CNet2Device::OnEnableChanged() {
    CDspDevice::OnEnableChanged();
    CNet2Driver* driver = Net2Driver();
    if (driver != nullptr && driver->Flow() != nullptr) {
        driver->Flow()->SetLineOnOff(EnabledMask());
    }
}

}  // namespace zorv
