#include "storage/RecordFiles.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Journal.h"
#include "core/ProductNames.h"
#include "core/ServerMessage.h"
#include "platform/Cp1251.h"
#include "platform/FileOps.h"

namespace zorv {
namespace {

const CHiddenMark kDefaultMarks;

constexpr uint16_t kFormatPcmTag = 1;
constexpr uint32_t kInoutMonitor = 12;
constexpr uint32_t kStateCallIn = 3;
constexpr uint32_t kStateCallOut = 4;
constexpr uint32_t kStateRing = 11;

// Journal texts the message catalogue has no number for.
const std::string& DeleteFailedText() {
    static const std::string text = Utf8ToCp1251("Не удалось удалить короткую запись %s: %s.");
    return text;
}
const std::string& MarkFailedText() {
    static const std::string text =
        Utf8ToCp1251("Не удалось отметить запись %s как зарегистрированную: %s.");
    return text;
}

// Tries of free names before an open fails.
constexpr int kNameTries = 1000;

}  // namespace

struct CRecordFiles::Channel {
    CWavFile call;
    CWavFile monitor;
    uint32_t counter = 0;
    uint64_t callBytes = 0;
    uint32_t frameBytes = 2;
    uint32_t rate = 8000;
    uint32_t compress = 1;
    bool monitorRunning = false;
    uint64_t monitorSamples = 0;
    uint32_t monitorRate = 8000;
    uint32_t monitorCompress = 1;
    std::string ownNumber;
    bool alwaysUseOwnNumber = false;
};

CRecordFiles::CRecordFiles(IRecordFileOwner& owner, IServer& server, IRecordQueue* database,
                           IClock& clock, int channelCount, const CHiddenMark* marks)
    : m_owner(owner),
      m_server(server),
      m_database(database),
      m_clock(clock),
      m_marks(marks != nullptr ? *marks : kDefaultMarks) {
    for (int i = 0; i < channelCount; ++i) {
        m_channels.push_back(std::make_unique<Channel>());
        m_channels.back()->call.SetFormat(1, 16, 8000, kFormatPcmTag);
    }
}

CRecordFiles::~CRecordFiles() {
    for (int i = 0; i < static_cast<int>(m_channels.size()); ++i) {
        if (At(i).monitorRunning) {
            StopMonitor(i);
        }
        if (At(i).call.isOpened()) {
            FinishRecord(i);
        }
    }
}

std::string CRecordFiles::DayDirectory(const std::string& root, const LocalTime& t,
                                       const std::string& daySuffix) {
    return fmt::format("{}/{:04}{:02}{:02}.{}/", root, t.year, t.month, t.day, daySuffix);
}

std::string CRecordFiles::FileName(const std::string& directory, const LocalTime& t, uint32_t line,
                                   uint32_t counter, int deviceIndex, bool monitor,
                                   const std::string& suffix) {
    return fmt::format("{}{:04}{:02}{:02}{:02}{:02}{:02}{:03}{}{}{}{:>3}.wav", directory, t.year,
                       t.month, t.day, t.hour, t.minute, t.second, line, counter, deviceIndex,
                       monitor ? "_rmo_" : "", suffix);
}

void CRecordFiles::PrepareFormat(int channel, int channels, uint32_t sampleRate) {
    if (!Valid(channel)) {
        return;
    }
    Channel& c = At(channel);
    c.call.SetFormat(static_cast<uint16_t>(channels == 2 ? 2 : 1), 16, sampleRate, kFormatPcmTag);
}

tagDB_Record& CRecordFiles::Metadata(int channel) {
    return At(Valid(channel) ? channel : 0).call.getDbRecord();
}

void CRecordFiles::FillStart(int channel, tagDB_Record& meta, const LocalTime& t, uint32_t compress,
                             uint32_t inout) {
    SetStartTime(meta, t);
    meta.dhour = 0;
    meta.dmin = 0;
    meta.dsek = 0;
    meta.NChanel = static_cast<uint32_t>(m_owner.FirstLine() + channel);
    meta.Format = compress;
    meta.inout = inout;
    meta.deviceSerialNumber = m_owner.SerialNumber();
    meta.deviceChannelNo = static_cast<uint32_t>(channel);
    SetText(meta.serverName, m_owner.ServerName());
    SetText(meta.alias, m_owner.ChannelAlias(channel));
}

bool CRecordFiles::CreateRecordFile(int channel, CWavFile& file, const LocalTime& start, bool flat,
                                    bool monitor) {
    Channel& c = At(channel);
    const std::string root = m_owner.RecordRoot();
    const std::string directory =
        flat ? root + "/" : DayDirectory(root, start, m_owner.DaySuffix());
    MakeDirectories(directory);
    const uint32_t line = static_cast<uint32_t>(m_owner.FirstLine() + channel);
    // A record never replaces another: a taken name moves the counter on, and
    // the file is created only where no file (or link) of that name exists.
    int failure = EEXIST;
    for (int tries = 0; tries < kNameTries; ++tries) {
        const std::string name = FileName(directory, start, line, c.counter, m_owner.DeviceIndex(),
                                          monitor, m_owner.FileSuffix());
        if (file.CreateNew(name, 0, CWavFile::kShareRead, true)) {
            return true;
        }
        failure = errno;
        if (failure != EEXIST) {
            break;
        }
        ++c.counter;
    }
    m_server.Post(kMsgFailure, 3, m_owner.FirstLine() + channel, flat ? failure : 0);
    return false;
}

void CRecordFiles::Register(CWavFile& file, bool flat) {
    tagDB_Record& meta = file.getDbRecord();
    if (!flat) {
        meta.Format = kFormatRecording;
    }
    SetText(meta.namefile, file.getFileName());
    if (m_database != nullptr) {
        m_database->AddDbRecord(meta);
    }
    // The mark stays after the close: it tells the compressor that the
    // database holds the record.
    if (!m_marks.Set(file.getFileName())) {
        m_server.FormatJournal(kJournalError, MarkFailedText(), file.getFileName(),
                               std::string(std::strerror(errno)));
    }
}

bool CRecordFiles::OpenRecord(int channel, const RecordStart& start) {
    if (!Valid(channel)) {
        return false;
    }
    Channel& c = At(channel);
    if (c.call.isOpened()) {
        return true;  // one record at a time
    }
    const LocalTime now = m_clock.Local();
    tagDB_Record& meta = c.call.getDbRecord();
    FillStart(channel, meta, now, start.compress, start.stateLine);
    const bool flat = start.compress == 1;
    c.call.SetFormat(static_cast<uint16_t>(start.audioChannels == 2 ? 2 : 1), 16, start.sampleRate,
                     kFormatPcmTag);
    const bool created = CreateRecordFile(channel, c.call, now, flat, false);
    if (flat) {
        ++c.counter;
    }
    if (!created) {
        return false;
    }
    const std::string name = c.call.getFileName();
    c.callBytes = 0;
    c.frameBytes = start.audioChannels == 2 ? 4 : 2;
    c.rate = start.sampleRate == 0 ? 8000 : start.sampleRate;
    c.compress = start.compress;
    SetText(meta.namefile, name);
    if (!m_owner.RegisterAtStart()) {
        return true;
    }
    if (meta.inout == kStateRing) {
        meta.inout = kStateCallIn;
        meta.rhour = meta.hour;
        meta.rmin = meta.min;
        meta.rsec = meta.sec;
    }
    Register(c.call, flat);
    return true;
}

bool CRecordFiles::IsRecordOpen(int channel) const {
    return Valid(channel) && At(channel).call.isOpened();
}

std::size_t CRecordFiles::WriteRecord(int channel, const void* data, std::size_t bytes) {
    if (!Valid(channel) || !At(channel).call.isOpened()) {
        return 0;
    }
    Channel& c = At(channel);
    const std::size_t written = c.call.WriteAudio(data, bytes);
    c.callBytes += written;
    return written;
}

void CRecordFiles::CloseFile(CWavFile& file, uint32_t samples, uint32_t compress) {
    tagDB_Record& meta = file.getDbRecord();
    const uint32_t rate = file.GetWfx() != nullptr && file.GetWfx()->nSamplesPerSec != 0
                              ? file.GetWfx()->nSamplesPerSec
                              : 8000;
    const uint64_t seconds = samples / rate;
    SetDuration(meta, seconds);
    const std::string name = file.getFileName();
    SetText(meta.namefile, name);
    // The copy inside the file always says "finished as PCM".
    const uint32_t format = meta.Format;
    meta.Format = kFormatPcm;
    file.Close(samples);
    meta.Format = format;

    const bool flat = compress == 1;
    if (!flat && seconds < m_owner.MinRecordSeconds()) {
        const bool registered = m_marks.Has(name);
        if (::unlink(name.c_str()) != 0) {
            // A short record that cannot be deleted stays like a long one.
            m_server.FormatJournal(kJournalError, DeleteFailedText(), name,
                                   std::string(std::strerror(errno)));
        } else {
            m_marks.Clear(name);  // a side record goes with its record
            if (registered && m_database != nullptr) {
                m_database->DeleteDbRecord(meta);
            }
            return;
        }
    }
    // A registered record keeps its mark: the day layout stays hidden, the
    // flat layout waits for the compressor, which reads the mark.
    if (m_database == nullptr) {
        return;
    }
    if (!flat) {
        m_database->UpdateDbRecord(meta, 0, 0);
    } else if (m_owner.RegisterAtStart()) {
        meta.Format = kFormatWaiting;
        m_database->UpdateDbRecord(meta, 1, 1);
    }
}

void CRecordFiles::FinishRecord(int channel) {
    if (!Valid(channel) || !At(channel).call.isOpened()) {
        return;
    }
    Channel& c = At(channel);
    ++c.counter;
    tagDB_Record& meta = c.call.getDbRecord();
    // The channel's own number stands for the side no number was found for.
    const bool noCaller = meta.TlfString_1[0] == '\0';
    const bool noCalled = meta.TlfString_2[0] == '\0';
    if (meta.inout == kStateCallOut && (noCaller || c.alwaysUseOwnNumber)) {
        SetText(meta.TlfString_1, c.ownNumber);
    } else if ((meta.inout == kStateCallIn || meta.inout == kStateRing) &&
               (noCalled || c.alwaysUseOwnNumber)) {
        SetText(meta.TlfString_2, c.ownNumber);
    }
    const uint64_t samples = c.callBytes / c.frameBytes;
    CloseFile(c.call, static_cast<uint32_t>(samples), c.compress);
    SetText(meta.Remark, "");
    SetText(meta.TlfString_1, "");
    SetText(meta.TlfString_2, "");
    meta.Category_1 = 0;
    meta.Category_2 = 0;
    c.callBytes = 0;
}

void CRecordFiles::SetMute(int channel, bool mute) {
    if (Valid(channel)) {
        At(channel).call.SetMute(mute);
    }
}

bool CRecordFiles::GetMute(int channel) const {
    return Valid(channel) && At(channel).call.IsMuted();
}

void CRecordFiles::AddCallWithoutFile(const tagDB_Record& record) {
    if (m_database == nullptr) {
        return;
    }
    tagDB_Record entry = record;
    const int channel = static_cast<int>(entry.NChanel) - m_owner.FirstLine();
    entry.deviceSerialNumber = m_owner.SerialNumber();
    entry.deviceChannelNo = static_cast<uint32_t>(channel < 0 ? 0 : channel);
    entry.Format = kFormatPcm;
    SetText(entry.serverName, m_owner.ServerName());
    if (Valid(channel)) {
        SetText(entry.alias, m_owner.ChannelAlias(channel));
    }
    m_database->UpdateDbRecord(entry, 0, 0);
}

void CRecordFiles::SetOwnNumber(int channel, const std::string& number, bool alwaysUse) {
    if (Valid(channel)) {
        At(channel).ownNumber = number.substr(0, 40);
        At(channel).alwaysUseOwnNumber = alwaysUse;
    }
}

uint32_t CRecordFiles::FileCounter(int channel) const {
    return Valid(channel) ? At(channel).counter : 0;
}

// --- Monitor records -----------------------------------------------------

bool CRecordFiles::OpenMonitorFile(int channel) {
    Channel& c = At(channel);
    const LocalTime now = m_clock.Local();
    tagDB_Record& meta = c.monitor.getDbRecord();
    std::memset(&meta, 0, sizeof meta);
    c.monitorCompress = m_owner.ChannelCompress(channel);
    c.monitorRate = m_owner.ChannelSampleRate(channel);
    if (c.monitorRate == 0) {
        c.monitorRate = 8000;
    }
    FillStart(channel, meta, now, c.monitorCompress, kInoutMonitor);
    c.monitorSamples = 0;
    const bool flat = c.monitorCompress == 1;
    c.monitor.SetFormat(1, 16, c.monitorRate, kFormatPcmTag);  // always mono
    if (!CreateRecordFile(channel, c.monitor, now, flat, true)) {
        return false;
    }
    SetText(meta.namefile, c.monitor.getFileName());
    if (m_owner.RegisterAtStart()) {
        Register(c.monitor, flat);
    }
    return true;
}

void CRecordFiles::CloseMonitorFile(int channel) {
    Channel& c = At(channel);
    if (c.monitor.isOpened()) {
        CloseFile(c.monitor, static_cast<uint32_t>(c.monitorSamples), c.monitorCompress);
    }
    c.monitorSamples = 0;
}

bool CRecordFiles::StartMonitor(int channel) {
    if (!Valid(channel)) {
        return false;
    }
    Channel& c = At(channel);
    if (!c.monitorRunning) {
        // Only a monitor record that opened runs: a failed open leaves it off.
        c.monitorRunning = OpenMonitorFile(channel);
    }
    return true;
}

bool CRecordFiles::StopMonitor(int channel) {
    if (!Valid(channel)) {
        return false;
    }
    Channel& c = At(channel);
    if (c.monitorRunning) {
        CloseMonitorFile(channel);
        c.monitorRunning = false;
    }
    return true;
}

bool CRecordFiles::IsMonitorRunning(int channel) const {
    return Valid(channel) && At(channel).monitorRunning;
}

uint32_t CRecordFiles::MonitorSeconds(int channel) const {
    if (!IsMonitorRunning(channel)) {
        return 0;
    }
    const Channel& c = At(channel);
    return static_cast<uint32_t>(c.monitorSamples / c.monitorRate);
}

void CRecordFiles::WriteMonitorBlock(int channel, const int16_t* samples, std::size_t count) {
    if (!Valid(channel) || !At(channel).monitorRunning) {
        return;
    }
    Channel& c = At(channel);
    const uint32_t maxSeconds = m_owner.MaxRecordSeconds();
    const bool full = maxSeconds != 0 && c.monitorSamples / c.monitorRate >= maxSeconds;
    if (full || !c.monitor.CanWrite(count * 2)) {
        // Monitor records always continue in a new file.
        CloseMonitorFile(channel);
        if (!OpenMonitorFile(channel)) {
            c.monitorRunning = false;
            return;
        }
    }
    const std::size_t written = c.monitor.WriteAudio(samples, count * 2);
    if (written < count * 2) {
        m_server.Post(kMsgFailure, 4, m_owner.FirstLine() + channel, 0);
    }
    c.monitorSamples += written / 2;
}

}  // namespace zorv
