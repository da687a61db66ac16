#include "devices/DatagramTranscoderDriver.h"

#include <algorithm>
#include <cstring>

#include "core/Journal.h"
#include "core/ServerMessage.h"
#include "devices/BoardDriver.h"
#include "devices/DspProtocol.h"

namespace zorv {

namespace {

constexpr int kWriteGroupAttempts = 3;
// Rate words an old transcoder does not know.
constexpr uint16_t kRateWord32k = 0x810E;
constexpr uint16_t kRateWord64k = 0x810F;

}  // namespace

CDatagramTranscoderDriver::CDatagramTranscoderDriver(CTranscoderConfigurator& transcoders,
                                                     IServer& server)
    : m_transcoders(transcoders), m_server(server) {}

CDatagramTranscoderDriver::~CDatagramTranscoderDriver() {
    Close();
}

bool CDatagramTranscoderDriver::Open(int index) {
    Close();
    tagStoredTranscoderConfig stored{};
    if (index < 0 || !m_transcoders.getConfigNetDevice(static_cast<uint32_t>(index), stored) ||
        stored.deviceClass != kDatagramTranscoder) {
        return false;
    }
    m_serial = stored.tsSerialNumber;
    m_channels = std::clamp<int>(stored.tsChannelsCount, 0, kMaxGroupChannels);
    CTranscoderFlowSink& sink = *this;
    CTranscoderDeviceLink& link = *this;
    m_flow = std::make_unique<CDatagramFlowProcessor>(m_transcoders, sink, link);
    m_transcoders.RegisterFlow(m_serial, m_flow.get());
    return true;
}

void CDatagramTranscoderDriver::Close() {
    if (!m_flow) {
        return;
    }
    m_transcoders.RegisterFlow(m_serial, nullptr);
    m_flow->Stop();
    m_flow.reset();
    m_started = false;
    m_boardId = 0;
}

bool CDatagramTranscoderDriver::IsOpen() const {
    return m_flow && m_flow->HasSocket();
}

bool CDatagramTranscoderDriver::StopTransfer() {
    if (m_flow) {
        m_flow->Stop();
    }
    return true;
}

bool CDatagramTranscoderDriver::GetHardwareInfo(tagHARDWARE_CONFIG& info) {
    info = tagHARDWARE_CONFIG{};
    // The information word of a board with one group of the configured
    // channels and the board id of the accepted identity.
    info.BoardID = static_cast<uint32_t>(m_channels) | (m_boardId.load() << 12);
    info.DeviceType = static_cast<uint32_t>(GetDeviceType());
    info.SerialNumber = m_serial;
    return true;
}

bool CDatagramTranscoderDriver::Read(void* buffer, std::size_t size, std::size_t& bytesRead) {
    bytesRead = 0;
    if (!m_flow) {
        return false;
    }
    bool restarted = false;
    bytesRead = m_flow->ReadData(static_cast<uint8_t*>(buffer), size, restarted);
    return true;
}

int CDatagramTranscoderDriver::GetDeviceType() {
    return m_boardId.load() < kFirstWideRecordBoardId ? 3 : 9;
}

bool CDatagramTranscoderDriver::Streaming() const {
    return m_flow && m_flow->IsStreaming();
}

bool CDatagramTranscoderDriver::WriteGroupConfig(int group, const uint16_t (&words)[8]) {
    if (!m_started) {
        return true;  // nothing to program before the transcoder is there
    }
    if (!Streaming()) {
        return false;
    }
    std::lock_guard lock(m_lock);
    const bool oldBoard = m_boardId.load() < kFirstWideRecordBoardId;
    for (int attempt = 0; attempt < kWriteGroupAttempts; ++attempt) {
        StopGroup(group);
        bool complete = true;
        for (uint16_t word : words) {
            if (oldBoard && (word == kRateWord32k || word == kRateWord64k)) {
                // An old transcoder cannot sample that fast: refused rather
                // than recorded at the wrong speed.
                return false;
            }
            if (m_flow->WriteAdcWord(word) != RequestResult::kSuccess) {
                StopGroup(group);
                complete = false;
                break;
            }
        }
        if (complete) {
            return true;
        }
    }
    return false;
}

bool CDatagramTranscoderDriver::SetEnableBit(int bit, bool on) {
    if (!m_started || !Streaming()) {
        return true;
    }
    return m_flow->EnableGroup(static_cast<uint32_t>(bit), on) == RequestResult::kSuccess;
}

bool CDatagramTranscoderDriver::StopGroup(int) {
    if (!m_started || !Streaming()) {
        return true;
    }
    return m_flow->ResetAdc() == RequestResult::kSuccess;
}

bool CDatagramTranscoderDriver::ChannelCommand(int channel, int command, int value) {
    if (!m_started) {
        return true;
    }
    if (!Streaming() || channel < 0 || channel >= m_channels) {
        return false;
    }
    std::lock_guard lock(m_lock);
    return m_flow->WriteLineWord(ChannelCommandWord(channel, command, value)) ==
           RequestResult::kSuccess;
}

int CDatagramTranscoderDriver::StartDevice(uint32_t, CAutoResetEvent* dataEvent, uint32_t,
                                           CAutoResetEvent*) {
    if (m_flow) {
        m_flow->SetDataEvent(dataEvent);
    }
    return 0;
}

bool CDatagramTranscoderDriver::AfterRestart() {
    if (!m_started) {
        return true;
    }
    if (!Streaming()) {
        return false;
    }
    return m_flow->UploadAonRequestSignal() == RequestResult::kSuccess;
}

void CDatagramTranscoderDriver::SetDeviceIndex(int index) {
    m_deviceIndex = index;
    if (m_flow) {
        m_flow->SetContext(static_cast<uint32_t>(index));
    }
}

std::size_t CDatagramTranscoderDriver::FillAfterTimeout(void* buffer, std::size_t size,
                                                        std::size_t samples) {
    auto* out = static_cast<uint8_t*>(buffer);
    std::size_t written = 0;
    if (m_boardId.load() < kFirstWideRecordBoardId) {
        // One sample of every channel per record.
        for (std::size_t i = 0; i < samples && written + kShortAudioRecordLength <= size; ++i) {
            std::memset(out + written, 0, kShortAudioRecordLength);
            out[written + 1] = kRecordMark;
            written += kShortAudioRecordLength;
        }
        return written;
    }
    // Twelve samples per record, dealt across the channels.
    if (m_channels <= 0) {
        return 0;
    }
    const std::size_t perRecord = 12 / static_cast<std::size_t>(m_channels);
    for (std::size_t filled = 0; filled < samples && written + kLongAudioRecordLength <= size;
         filled += perRecord) {
        std::memset(out + written, 0, kLongAudioRecordLength);
        out[written + 1] = kRecordMark;
        written += kLongAudioRecordLength;
    }
    return written;
}

std::size_t CDatagramTranscoderDriver::FillAfterLoss(void* buffer, std::size_t size) {
    auto* out = static_cast<uint8_t*>(buffer);
    std::size_t written = 0;
    for (int i = 0; i < m_channels && written + kEventRecordLength <= size; ++i) {
        out[written] = EventRecordHeader(0, i);
        out[written + 1] = kRecordMark;
        out[written + 2] = 0;  // line free
        out[written + 3] = static_cast<uint8_t>(DspEvent::Line);
        written += kEventRecordLength;
    }
    return written;
}

int CDatagramTranscoderDriver::GroupChannelCount(int group) const {
    return group == 0 ? m_channels : 0;
}

void CDatagramTranscoderDriver::Report(int level, const std::string& text) {
    m_server.WriteJournal(level, text);
}

void CDatagramTranscoderDriver::OnStarted(uint32_t) {
    // The stream runs: the device programs the transcoder's groups again.
    m_server.Post(kMsgRestartHardware, m_deviceIndex.load(), 0, 0);
}

bool CDatagramTranscoderDriver::CheckIdentity(const DeviceInfo& identity, uint32_t) {
    if (identity.Channels != m_channels) {
        return false;
    }
    const uint32_t version = identity.HardwareVersion;
    m_boardId = ((version / 100) << 8) | (version % 100);
    m_started = true;
    return true;
}

void CDatagramTranscoderDriver::OnFlowStopped() {
    m_started = false;
}

}  // namespace zorv
