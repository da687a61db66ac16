// The start (message 1), run (5), start-devices (40) and stop (2) sequences.
#include <fmt/format.h>

#include "core/CodedException.h"
#include "core/JournalFile.h"
#include "core/ServerCore.h"

namespace zorv {

void CServerCore::OnStart() {
    // Network transcoders first: the devices of kind 4 are the configurator's.
    ITranscoderService& transcoders = *m_components.transcoders;
    if (!transcoders.Start(m_workDir + "/Transcoders.ini")) {
        WriteJournal(kJournalError, CatalogText(Msg{132}));
    } else {
        WriteJournal(kJournalInfo, CatalogText(Msg{133}));
        transcoders.StartServiceThread();
    }
    CoreStart();
    transcoders.Enable();
}

void CServerCore::CoreStart() {
    m_totalChannels = 0;
    m_currentDir = 0;
    SetStateWord(SS_INIT, 0);

    EnsureMp3Codec();
    CheckUncleanShutdown();
    WriteJournal(kJournalInfo, CatalogText(Msg{225}));
    m_components.faxDecoder->SetWorkDirectory(m_workDir);
    ReadSettings();
    if (!m_components.scheduler->Load(m_workDir + "/Sheduler.prm")) {
        WriteJournal(kJournalError, CatalogText(Msg{226}));
    }
    if (!m_components.database->Open(m_workDir)) {
        return;  // nothing runs without the record database
    }
    const bool compressorStarted = m_components.compressor->Start();
    if (!compressorStarted) {
        Post(kMsgFailure, 5, 1, 0);
    }
    IExternalWatchdog& watchdog = *m_components.watchdog;
    watchdog.Start();
    watchdog.Send(2, 0, 0);
    watchdog.Send(1, 0, static_cast<int>(m_settings.watchdog.initTimeout));

    ProbeDevices(compressorStarted);

    m_components.archiver->Start();
    Post(kMsgRun);
    if (m_deviceCount.load() == 0) {
        Post(kMsgFailure, 7, 0, 0);
        return;
    }
    m_components.numberFilters->Read();
    Post(kMsgStartDevices);
}

std::unique_ptr<IServerDevice> CServerCore::CreateDevice(int kind, int candidate, int firstLine,
                                                         int& report) {
    report = 0;
    switch (kind) {
        case 0: {
            auto device = CreateDevice0(candidate, firstLine);
            report = device ? 0 : 1;
            return device;
        }
        case 1:
            return CreateDevice1(candidate, firstLine, report);
        case 2:
            return CreateDevice2(candidate, firstLine, report);
        case 3:
            return CreateDevice3(candidate, firstLine, report);
        case 4:
            return CreateDevice4(candidate, firstLine, report);
        default:
            return nullptr;
    }
}

void CServerCore::ProbeDevices(bool compressorStarted) {
    for (int kind = 0; kind <= 4; ++kind) {
        const int candidates = GetCandidateCount(kind);
        for (int j = 0; j < candidates; ++j) {
            const int n = m_deviceCount.load();
            if (n >= kMaxDevices) {
                break;  // a full table ends this kind only
            }
            int report = 0;
            std::unique_ptr<IServerDevice> created =
                CreateDevice(kind, j, m_totalChannels.load(), report);
            if (!created) {
                if (report == 1) {
                    Post(kMsgFailure, 6, 1, 0);
                }
                continue;
            }
            IServerDevice& device = *created;
            {
                CScopedLock<CSharedMutex> lock(m_devicesLock);
                m_devices[static_cast<size_t>(n)] = std::move(created);
            }
            device.SetDeviceIndex(n);
            device.SetFileSuffixes(kFileSuffix, kDirSuffix);
            BeforeOpenDevice(device);
            if (!device.Open()) {
                if (device.LastError() != kDeviceNotFound) {
                    JournalOpenError(n);
                }
                device.Close();
                DestroyDevice(n);
                continue;
            }
            if (n < j) {
                FormatJournal(kJournalInfo, Msg{227}, j, n);
                device.SetDeviceIndex(n);
            }
            FormatJournal(kJournalInfo, Msg{228}, n + 1, device.BoardId());
            m_deviceCount = n + 1;
            ApplyDeviceSettings(n);
            const FileSizes sizes = FileSizesInForce();
            device.SetRecordLengths(sizes.minSeconds, sizes.maxSeconds);
            device.SetRecordRoot(RecordDirectory(m_currentDir.load()));
            device.SetServerName(m_settings.serverName);
            const int channels = device.ChannelCount();
            m_totalChannels += channels;
            if (!compressorStarted && channels > 0) {
                // For this run only: the stored choice stays for the next start.
                device.SetCompress(0, channels - 1, 0, false);
            }
        }
    }
}

void CServerCore::OnRun() {
    m_components.network->Start();
    WriteJournal(kJournalInfo, CatalogText(Msg{229}));
    SetState(SS_STARTING);

    const bool started = m_components.timer->Start(kTimerPeriod, [this] {
        try {
            OnTimerTick();
        } catch (...) {
            Post(kMsgException, CurrentExceptionCode(), kSourceTimer, 0);
        }
    });
    if (!started) {
        WriteJournal(kJournalError, CatalogText(Msg{230}));
        Post(kMsgFailure, 10, 0, 0);
        return;
    }
    if (m_registryKey.GetDword("IntStopRestart").value_or(0) != 0) {
        // The machine was rebooted by the failure policy: device 0 gets one
        // minute of probation before the reboot counter is cleared.
        CMutexLock lock(m_countersLock);
        m_restartCount[0] = 1;
        m_restartCountdown[0] = 6;
    }
    m_components.timer->LowerPriority();
}

void CServerCore::OnStartDevices() {
    int started = 0;
    const int count = m_deviceCount.load();
    for (int i = 0; i < count; ++i) {
        IServerDevice* device = Device(i);
        if (device == nullptr) {
            continue;
        }
        if (device->Start()) {
            FormatJournal(kJournalInfo, Msg{231}, i + 1);
            ++started;
        } else {
            device->Stop();
            Post(kMsgFailure, 1, i, 0);
        }
    }
    if (started > 0) {
        SetState(SS_RUNNING);
    } else {
        Post(kMsgFailure, 12, 0, 0);
    }
}

void CServerCore::OnStop() {
    m_components.network->Stop();
    m_components.transcoders->Stop();
    if (State() == SS_STOPPED) {
        return;
    }
    CloseLocalLinks();
    m_components.watchdog->Send(2, 0, 0);
    m_components.watchdog->Stop();

    const uint32_t kind = FailureKindOf(m_state.load());
    SetState(SS_STOPPED);
    FormatJournal(kJournalInfo, Msg{232}, static_cast<int>(kind));

    m_components.timer->Stop();
    WriteJournal(kJournalInfo, CatalogText(Msg{233}));
    m_components.compressor->Stop();
    WriteJournal(kJournalInfo, CatalogText(Msg{234}));
    SavePathSettings();
    WriteJournal(kJournalInfo, CatalogText(Msg{235}));

    const int count = m_deviceCount.load();
    for (int i = 0; i < count; ++i) {
        IServerDevice* device = Device(i);
        if (device == nullptr) {
            continue;
        }
        device->Stop();
        device->Close();
        DestroyDevice(i);
        FormatJournal(kJournalInfo, Msg{236}, i + 1);
    }
    m_deviceCount = 0;

    m_components.database->Stop();
    WriteJournal(kJournalInfo, CatalogText(Msg{237}));
    m_components.archiver->Stop();

    m_components.mail->Notify(16, CatalogText(Msg{238}), " ", m_journalPath, 1);
    PowerStamp(false);
    {
        CMutexLock lock(m_countersLock);
        m_compressorExceptions = 0;
        m_compressorDecay = 0;
        m_hangCount = 0;
        m_lastCompressorState = 0;
    }
    WriteJournal(kJournalInfo, "Shutdown");
}

void CServerCore::CheckUncleanShutdown() {
    std::optional<std::string> power = m_registryKey.GetString("Power");
    if (!power) {
        return;
    }
    if (power->size() > 32) {
        power->resize(32);
    }
    if (*power != "Ok") {
        FormatJournal(kJournalError, Msg{306}, *power);
    }
}

void CServerCore::PowerStamp(bool running) {
    if (!running) {
        m_registryKey.SetString("Power", "Ok");
        return;
    }
    const LocalTime t = m_clock.Local();
    m_registryKey.SetString("Power", fmt::format("{:04} {:02}.{:02} {:02}:{:02}:{:02}", t.year,
                                                 t.month, t.day, t.hour, t.minute, t.second));
}

}  // namespace zorv
