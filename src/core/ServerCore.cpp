#include "core/ServerCore.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <sstream>
#include <system_error>

#include "core/JournalFile.h"
#include "platform/FileOps.h"
#include "platform/SystemDirectories.h"

namespace zorv {
namespace {

std::string ProcessCurrentDirectory() {
    std::error_code error;
    std::filesystem::path cwd = std::filesystem::current_path(error);
    return error ? std::string(".") : cwd.string();
}

}  // namespace

CServerCore::CServerCore(ServerEnvironment environment, ServerComponents components)
    : CMessageThread(kRingCapacity, -1),
      m_clock(environment.clock != nullptr ? *environment.clock : SystemClock()),
      m_names(environment.prefix.empty() ? CProductNames::Instance().Prefix() : environment.prefix),
      m_baseName(m_names.Name(CProductNames::kFileBaseName)),
      m_registryKey(environment.registryFile.empty() ? CRegistryKey::RegistryPath(m_baseName)
                                                     : environment.registryFile,
                    "SOFTWARE\\" + m_baseName),
      m_settingsFile(""),
      m_components(std::move(components)) {
    m_components.FillDefaults();

    if (!m_registryKey.Exists() && m_registryKey.Create()) {
        m_registryKey.SetString("Power", "Ok");
        m_registryKey.SetDword("IntStopRestart", 0);
    }

    m_workDir = environment.workDir;
    if (m_workDir.empty()) {
        std::optional<std::string> stored = m_registryKey.GetString("WorkDirectory");
        if (stored && !stored->empty() && stored->size() < kPathMax) {
            m_workDir = *stored;
        } else {
            m_workDir = ProcessCurrentDirectory();
        }
    }
    m_journalPath = m_workDir + "/" + m_baseName + ".log";
    m_settingsPath = m_workDir + "/" + m_baseName + ".ini";
    m_formatsPath = m_workDir + "/" + m_baseName + ".fmt";
    m_alarmSoundPath = m_workDir + "/wav/Alarm1.wav";
    m_defaultRecordDir = m_workDir + "/DvrFiles";
    m_settingsFile = IniFile(m_settingsPath);
    m_recordDirs = {m_defaultRecordDir, m_defaultRecordDir};

    CMessageCatalog::Instance().Build(m_workDir, m_names.Prefix());
    m_journal = std::make_unique<CJournal>(m_journalPath, m_clock, m_components.mail.get(),
                                           environment.echoJournal);
}

CServerCore::~CServerCore() {
    // The handlers must not outlive this layer, and the journal's queued
    // mails go out before the mail notifier does.
    Stop();
    m_journal->StopMail();
}

bool CServerCore::Post(int32_t code, int32_t a, int32_t b, int32_t c) {
    return CMessageThread::Post(code, a, b, c);
}

void CServerCore::WriteJournal(int kind, std::string_view text) {
    m_journal->Write(kind, text);
}

bool CServerCore::ClearJournal() {
    return m_journal->Clear();
}

void CServerCore::OnMessage(int32_t code, int32_t a, int32_t b, int32_t c) {
    switch (code) {
        case kMsgStart:
            OnStart();
            break;
        case kMsgStop:
            OnStop();
            break;
        case kMsgException:
            OnException(a, b, c);
            break;
        case kMsgNoAction:
            OnNoAction();
            break;
        case kMsgRun:
            OnRun();
            break;
        case kMsgFailure:
            OnFailure(a, b, c);
            break;
        case kMsgDeviceBytes:
            if (a >= 0 && a < kMaxDevices) {
                m_deviceStats[static_cast<size_t>(a)][1] += static_cast<uint32_t>(b);
            }
            break;
        case kMsgArchiver:
            OnArchiverEvent(a, b);
            break;
        case kMsgStartDevices:
            OnStartDevices();
            break;
        default:
            OnOtherMessage(code, a, b, c);
            break;
    }
}

void CServerCore::OnOtherMessage(int32_t code, int32_t a, int32_t b, int32_t c) {
    if (code == kMsgLineLost) {
        FormatJournal(kJournalError, Msg{63}, a + 1, b + 1);
    } else if (code == kMsgLineBack) {
        FormatJournal(kJournalInfo, Msg{64}, a + 1, b + 1);
    } else if (code >= kMsgLineParamFirst && code <= kMsgLineParamLast) {
        FormatJournal(kJournalInfo, Msg{87 + (code - kMsgLineParamFirst)}, b + 1, a + 1);
    } else if (code == kMsgRestartHardware || code == kMsgDeviceNotification ||
               code == kMsgTranscoderCodec) {
        IServerDevice* device = Device(a);
        if (device == nullptr) {
            return;
        }
        if (code == kMsgRestartHardware) {
            device->RestartHardware();
        } else if (code == kMsgDeviceNotification) {
            device->OnDeviceNotification(b);
        } else if (device->SetCodecMode(c, kCodecFallbackCompression, 0, 1) == 0) {
            // The transcoder has no working Speex: ADPCM from now on, also
            // after a restart.
            StoreCodecMode(a, static_cast<uint32_t>(c), kCodecFallbackCompression, 0);
            FormatJournal(kJournalError, Msg{445}, a + 1, b);
        }
    }
}

void CServerCore::OnFailure(int32_t kind, int32_t b, int32_t c) {
    // A device failure (kind 1) outside initialisation is journaled with the
    // device's error; a failed signal processor also takes its group's
    // channels out of service. What else follows is the failure policy's.
    // The error comes with the message when the device gave it (c), so that
    // two failures in a row are each journaled with their own error.
    if (kind == 1 && State() != SS_INIT) {
        if (IServerDevice* device = Device(b)) {
            const int error = c != 0 ? c : device->LastError();
            JournalDeviceError(b, error);
            if (error >= kDeviceProcessorGroup0Failed &&
                error <= kDeviceProcessorGroup0Failed + 2) {
                device->MarkGroupFailed(error - kDeviceProcessorGroup0Failed);
            }
        }
    }
    if (kind == kFailureNetworkDeviceSilent) {
        // A network device's data stopped (c 0) or returned (c 1).
        if (IServerDevice* device = Device(b)) {
            if (c == 0) {
                FormatJournal(kJournalError, Msg{130}, device->GetDeviceNumber());
            } else {
                FormatJournal(kJournalInfo, Msg{131}, device->GetDeviceNumber());
            }
        }
    }
    if (kind == kFailureCompressor) {
        OnCompressorError(b);
    }
    m_components.failurePolicy->OnFailure(kind, b, c);
}

void CServerCore::OnCompressorError(int32_t code) {
    // Texts 202..209 for the codes 1..8.
    if (code >= 1 && code <= 8) {
        WriteJournal(kJournalError, CatalogText(Msg{201 + code}));
    }
    std::ostringstream text;
    const LocalTime t = m_clock.Local();
    text << fmt::format("{:02}.{:02}.{:04} {:02}:{:02}:{:02} compressor error {}\n", t.day, t.month,
                        t.year, t.hour, t.minute, t.second, code);
    m_components.compressor->DumpState(text);
    WriteFile(m_workDir + "/" + kExceptionFileName, text.str(), kDataFileMode, FileWrite::kAppend);
}

void CServerCore::OnException(int32_t code, int32_t source, int32_t deviceTag) {
    m_components.failurePolicy->OnException(code, ClassifyExceptionSource(source, deviceTag));
}

void CServerCore::JournalOpenError(int index) {
    if (IServerDevice* device = Device(index)) {
        JournalDeviceError(index, device->LastError());
    }
}

void CServerCore::JournalDeviceError(int index, int error) {
    const int number = index + 1;
    switch (error) {
        case kDeviceNotFound:
        case kDeviceConfigUnreadable:
        case kDeviceNoMemory:
        case kDeviceBadChannelOrRate:
        case kDeviceStartFailed:
        case kDeviceReadFailed:
            FormatJournal(kJournalError, Msg{274 + (error - kDeviceNotFound)}, number);
            break;
        case kDeviceConverterFailed:
            FormatJournal(kJournalError, Msg{61}, number);
            break;
        case kDeviceProcessorGroup0Failed:
        case kDeviceProcessorGroup0Failed + 1:
        case kDeviceProcessorGroup0Failed + 2:
            FormatJournal(kJournalError, Msg{62}, error - kDeviceProcessorGroup0Failed + 1, number);
            break;
        default:
            break;
    }
}

void CServerCore::OnArchiverEvent(int32_t event, int32_t argument) {
    struct ArchiverText {
        int text;
        int kind;
    };
    ArchiverText entry{0, argument};
    switch (event) {
        case 1:
            if (argument == 1) {
                entry = {239, 0};
            } else if (argument == 2) {
                entry = {240, 0};
            }
            break;
        case 2:
            entry = {241, 1};
            break;
        case 3:
            entry = {244, 1};
            break;
        case 4:
            entry = {245, 1};
            break;
        case 5:
            entry = {246, 1};
            break;
        case 6:
            entry = {248, 1};
            break;
        case 7:
            entry = {247, 1};
            break;
        case 8:
            entry = {243, 0};
            break;
        case 9:
            entry = {249, 1};
            break;
        case 10:
            entry = {242, 1};
            break;
        default:
            break;
    }
    try {
        if (entry.text == 0) {
            WriteJournal(entry.kind, "");  // an event without a text: an empty line
            return;
        }
        std::string text;
        if (event == 9) {
            text = FormatCatalogText(Msg{entry.text}, static_cast<uint32_t>(argument));
        } else if (CatalogText(Msg{entry.text}).find("%s") != std::string::npos) {
            text = FormatCatalogText(Msg{entry.text}, m_components.archiver->MediumName(argument));
        } else {
            text = FormatCatalogText(Msg{entry.text});
        }
        WriteJournal(entry.kind, text);
        if (event != 9) {
            m_components.mail->Notify(8, CatalogText(Msg{250}), text, "", 1);
        }
    } catch (...) {
        // Reporting an archiver event must never disturb the message thread.
    }
}

std::unique_ptr<IServerDevice> CServerCore::CreateDevice0(int, int) {
    return nullptr;
}
std::unique_ptr<IServerDevice> CServerCore::CreateDevice1(int, int, int& report) {
    report = 0;
    return nullptr;
}
std::unique_ptr<IServerDevice> CServerCore::CreateDevice2(int, int, int& report) {
    report = 0;
    return nullptr;
}
std::unique_ptr<IServerDevice> CServerCore::CreateDevice3(int, int, int& report) {
    report = 0;
    return nullptr;
}
std::unique_ptr<IServerDevice> CServerCore::CreateDevice4(int, int, int& report) {
    report = 0;
    return nullptr;
}

int CServerCore::GetCandidateCount(int kind) const {
    if (kind >= 0 && kind <= 3) {
        return 11;
    }
    return kind == 4 ? 100 : 0;
}

void CServerCore::DestroyDevice(int index) {
    if (index >= 0 && index < kMaxDevices) {
        std::unique_ptr<IServerDevice> removed;
        {
            CScopedLock<CSharedMutex> lock(m_devicesLock);
            removed = std::move(m_devices[static_cast<size_t>(index)]);
        }
        // Destroyed outside the lock: readers are already gone.
    }
}

void CServerCore::ApplyDeviceSettings(int) {}

IServerDevice* CServerCore::Device(int index) const {
    if (index < 0 || index >= kMaxDevices) {
        return nullptr;
    }
    // Only the message thread changes the table, so the device stays after
    // the lock is let go.
    CSharedLock lock(m_devicesLock);
    return m_devices[static_cast<size_t>(index)].get();
}

std::string CServerCore::RecordDirectory(int index) const {
    CMutexLock lock(m_dirLock);
    return m_recordDirs[index == 1 ? 1 : 0];
}

uint32_t CServerCore::DeviceStat(int device, int counter) const {
    if (device < 0 || device >= kMaxDevices || counter < 0 || counter >= 8) {
        return 0;
    }
    return m_deviceStats[static_cast<size_t>(device)][static_cast<size_t>(counter)].load();
}

int CServerCore::RestartCount(int device) const {
    CMutexLock lock(m_countersLock);
    return device >= 0 && device < kMaxDevices ? m_restartCount[static_cast<size_t>(device)] : 0;
}

int CServerCore::RestartCountdown(int device) const {
    CMutexLock lock(m_countersLock);
    return device >= 0 && device < kMaxDevices ? m_restartCountdown[static_cast<size_t>(device)]
                                               : 0;
}

void CServerCore::SetUsersFileWatch(std::string path, std::function<void()> onChange) {
    m_usersFile = std::move(path);
    m_onUsersFileChange = std::move(onChange);
}

void CServerCore::SetState(uint32_t state) {
    uint32_t word = m_state.load();
    while (!m_state.compare_exchange_weak(word, MakeStateWord(state, FailureKindOf(word)))) {
    }
}

void CServerCore::SetStateWord(uint32_t state, uint32_t kind) {
    m_state.store(MakeStateWord(state, kind));
}

bool CServerCore::RefusedAsSystemDirectory(const std::string& path, const char* refusal) {
    const std::string system = SystemDirectoryOf(path);
    if (system.empty()) {
        return false;
    }
    FormatJournal(kJournalError, refusal, path, system);
    return true;
}

int CServerCore::SetRecordDirectory(int index, const std::string& requested) {
    if ((index != 0 && index != 1) || requested.size() > kPathMax) {
        return -1;
    }
    std::string path = requested;
    if (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    // Old records are deleted below every record directory: none may be a
    // system directory, whoever asks; the directory in force stays. The
    // default directory, the server's own in its work directory, is no
    // one's choice and always usable.
    if (path != m_defaultRecordDir &&
        RefusedAsSystemDirectory(path,
                                 "Record directory %s refused: it is, holds or lies in the "
                                 "system directory %s")) {
        return -1;
    }
    std::error_code error;
    int result = 0;
    if (!std::filesystem::is_directory(path, error)) {
        FormatJournal(kJournalInfo, Msg{220}, path);
        if (!MakeDirectories(path)) {
            FormatJournal(kJournalError, Msg{221}, path, m_defaultRecordDir);
            if (!std::filesystem::is_directory(m_defaultRecordDir, error)) {
                // One level only: the work directory itself must be there.
                if ((::mkdir(m_defaultRecordDir.c_str(), kDataDirectoryMode) != 0 &&
                     errno != EEXIST) ||
                    !std::filesystem::is_directory(m_defaultRecordDir, error)) {
                    FormatJournal(kJournalError, Msg{222}, m_defaultRecordDir);
                    return -1;
                }
            }
            FormatJournal(kJournalInfo, Msg{223}, m_defaultRecordDir);
            path = m_defaultRecordDir;
            result = -1;
        }
    }
    StoreRecordDirectory(index, path);
    return result;
}

void CServerCore::StoreRecordDirectory(int index, const std::string& path) {
    {
        CMutexLock lock(m_dirLock);
        m_recordDirs[static_cast<size_t>(index)] = path;
    }
    if (index == m_currentDir.load()) {
        // Also called from the timer thread (the record-root switch).
        for (int i = 0; i < m_deviceCount.load(); ++i) {
            WithDevice(i, [&](IServerDevice& device) { device.SetRecordRoot(path); });
        }
        Post(kMsgRecordDirectory, 0, index, 0);
    }
    m_components.compressor->SetRecordPath(index, path);
    OnRecordDirectoryChanged();
}

void CServerCore::ReadSettings() {
    m_settings = ServerSettings::Read(m_settingsFile, m_defaultRecordDir);
    // A system directory in the settings file gives way to the default
    // directory (which the stop then writes back in its place).
    for (std::string* directory : {&m_settings.directory1, &m_settings.directory2}) {
        if (*directory != m_defaultRecordDir &&
            RefusedAsSystemDirectory(*directory,
                                     "Record directory %s of the settings refused: it is, "
                                     "holds or lies in the system directory %s; the default "
                                     "record directory is used")) {
            *directory = m_defaultRecordDir;
        }
    }
    SetRecordDirectory(0, m_settings.directory1);
    SetRecordDirectory(1, m_settings.directory2);
    m_components.compressor->SetMinSizeFile(m_settings.minSizeFileSeconds);
    {
        CMutexLock lock(m_fileSizesLock);
        m_fileSizes = {m_settings.minSizeFileSeconds, m_settings.maxSizeFileSeconds};
    }
    m_components.compressor->SetCompressIdle(m_settings.compressIdle != 0);
    m_components.mail->LoadSettings(m_workDir);
    m_components.mail->SetMinimalDelay(m_settings.minimalNotificationDelay);
    m_faxEnable = m_settings.faxEnable != 0;
    m_components.faxDecoder->SetDecode(m_settings.faxDecode != 0);
    m_components.faxDecoder->SetLogEnable(m_settings.faxLogEnable != 0);
    m_components.watchdog->Configure(m_settings.watchdog);
    StorageSettings storage;
    storage.quota1Mb = m_settings.quota1Mb;
    storage.quota2Mb = m_settings.quota2Mb;
    storage.delSizeMb = m_settings.delSizeMb;
    storage.deleteByAgeEnable = m_settings.deleteByDateEnable;
    storage.storageDays = m_settings.storageDaysCount;
    storage.lastDeleteFilesDate = m_settings.lastDeleteFilesDate;
    m_components.storage->Configure(storage);
}

void CServerCore::SavePathSettings() {
    // Clients may have changed the quotas since the start: the keeper holds
    // the values in force.
    ServerSettings settings = m_settings;
    const StorageSettings storage = StorageInForce();
    settings.quota1Mb = storage.quota1Mb;
    settings.quota2Mb = storage.quota2Mb;
    settings.delSizeMb = storage.delSizeMb;
    const FileSizes sizes = FileSizesInForce();
    settings.minSizeFileSeconds = sizes.minSeconds;
    settings.maxSizeFileSeconds = sizes.maxSeconds;
    settings.SavePath(m_settingsFile, RecordDirectory(0), RecordDirectory(1));
}

CServerCore::FileSizes CServerCore::FileSizesInForce() const {
    CMutexLock lock(m_fileSizesLock);
    return m_fileSizes;
}

bool CServerCore::SetFileSizes(uint32_t minSeconds, uint32_t maxSeconds) {
    if (maxSeconds < 60 || maxSeconds % 60 != 0 || minSeconds > maxSeconds) {
        return false;
    }
    {
        // Held over the writes, so that two clients leave the file and the
        // devices with the same pair.
        CMutexLock lock(m_fileSizesLock);
        m_fileSizes = {minSeconds, maxSeconds};
        for (int i = 0; i < m_deviceCount.load(); ++i) {
            WithDevice(
                i, [&](IServerDevice& device) { device.SetRecordLengths(minSeconds, maxSeconds); });
        }
        m_components.compressor->SetMinSizeFile(minSeconds);
        m_settingsFile.WriteUint("Path", "MinSizeFile", minSeconds);
        m_settingsFile.WriteUint("Path", "MaxSizeFile", maxSeconds / 60);
    }
    return true;
}

void CServerCore::SelectRecordDirectory(int index) {
    if (index != 0 && index != 1) {
        return;
    }
    m_currentDir = index;
    const std::string path = RecordDirectory(index);
    for (int i = 0; i < m_deviceCount.load(); ++i) {
        WithDevice(i, [&](IServerDevice& device) { device.SetRecordRoot(path); });
    }
    Post(kMsgRecordDirectory, 0, index, 0);
}

}  // namespace zorv
