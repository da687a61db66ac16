// The server object's core layer.
//
// CServerCore is the one server: a message thread whose handlers run the
// start (1), run (5), start-devices (40) and stop (2) sequences and react to
// what components post, and a ten-second timer that drives the periodic work.
// The layers above it (CDeviceServer, CRecordServer) add the device
// factories, the network module and the transcoder configurator by
// overriding its virtual operations.
//
// Threads: every message handler runs on the message thread, one at a time.
// The timer tick runs on the timer thread without the handler lock; the state
// word, the restart counters and the compressor counters it shares with the
// handlers are atomic or guarded by m_countersLock. Post, WriteJournal and
// the read accessors may be called from any thread.
//
// The device table: entries are installed only by the start (message 1) and
// removed only by the stop sequence (message 2), both on the message thread,
// which holds m_devicesLock exclusively while it installs or removes one. A
// device is never replaced while the server runs: a restart stops and starts
// the same object. The message thread itself uses Device(). Every other
// thread (the timer, client connections, the local interface) reaches a
// device only through WithDevice, which holds m_devicesLock shared for the
// call, so the device cannot be destroyed under it (a device being stopped
// or closed meanwhile answers its callers itself).
// Devices lock for themselves (their channel lock); m_devicesLock is taken
// before any device lock and never by a device's own threads, so a stop that
// joins a reading thread under it cannot deadlock.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>  // timespec
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/MessageThread.h"
#include "core/ProductNames.h"
#include "core/Server.h"
#include "core/ServerComponents.h"
#include "core/ServerDevice.h"
#include "core/ServerSettings.h"
#include "core/ServerState.h"
#include "platform/Clock.h"
#include "platform/IniFile.h"
#include "platform/Mutex.h"
#include "platform/Registry.h"

namespace zorv {

class CJournal;

// Where the server finds its files and time. Empty fields take the process's
// defaults (see CServerCore's constructor).
struct ServerEnvironment {
    IClock* clock = nullptr;   // SystemClock() when null
    std::string prefix;        // CProductNames::Instance() when empty
    std::string registryFile;  // CRegistryKey::RegistryPath(base name) when empty
    std::string workDir;       // registry "WorkDirectory", else the current directory
    bool echoJournal = false;  // also print journal lines to standard error
};

class CServerCore : public CMessageThread, public IServer {
public:
    static constexpr int32_t kRingCapacity = 200;
    static constexpr std::chrono::milliseconds kTimerPeriod{10000};
    static constexpr const char* kFileSuffix = kRecordFileSuffix;
    static constexpr const char* kDirSuffix = kRecordDaySuffix;
    // The exception file in the work directory.
    static constexpr const char* kExceptionFileName = "debug_Exception.log";

    // Prepares the work directory, the file paths, the message catalogue and
    // the registry key (created with "Power" = "Ok" and "IntStopRestart" = 0
    // when missing).
    CServerCore(ServerEnvironment environment, ServerComponents components);
    ~CServerCore() override;

    // IServer
    bool Post(int32_t code, int32_t a = 0, int32_t b = 0, int32_t c = 0) override;
    void WriteJournal(int kind, std::string_view text) override;

    // The timer tick; called by the timer every ten seconds.
    void OnTimerTick();

    // Record directory i (0 or 1): validated, created when missing, falling
    // back to the default directory. 0 on success, -1 on failure or fallback.
    // A system directory (platform/SystemDirectories.h) is refused with a
    // journal error and -1, the directory in force staying.
    int SetRecordDirectory(int index, const std::string& path);

    // Read access for the client layers and tests.
    uint32_t StateWord() const { return m_state.load(); }
    uint32_t State() const { return StateOf(m_state.load()); }
    int DeviceCount() const { return m_deviceCount.load(); }
    int TotalChannels() const { return m_totalChannels.load(); }
    // The device at index, or null. Message thread only (see above).
    IServerDevice* Device(int index) const;
    // Runs fn(IServerDevice&) on the device at index while the table is held
    // for reading; false (fn not run) when there is none. For every thread
    // but the message thread. fn must not post-and-wait for the message
    // thread.
    template <typename Fn>
    bool WithDevice(int index, Fn&& fn) const {
        if (index < 0 || index >= kMaxDevices)
            return false;
        CSharedLock lock(m_devicesLock);
        IServerDevice* device = m_devices[static_cast<size_t>(index)].get();
        if (device == nullptr)
            return false;
        fn(*device);
        return true;
    }
    std::string RecordDirectory(int index) const;
    // Makes record directory index (0 or 1) the current one: every device
    // records there from now on, and message 8 tells the message thread. Any
    // thread (the storage keeper's switch runs on the timer).
    void SelectRecordDirectory(int index);
    int CurrentDirectory() const { return m_currentDir.load(); }
    const ServerSettings& Settings() const { return m_settings; }
    // The quotas and deletion settings in force: the storage keeper's, which
    // client commands may have changed since the start.
    StorageSettings StorageInForce() const { return m_components.storage->Current(); }
    // The record lengths in force, in seconds: read at the start, changed by
    // clients (SetFileSizes).
    struct FileSizes {
        uint32_t minSeconds = 0;
        uint32_t maxSeconds = 0;
    };
    FileSizes FileSizesInForce() const;
    // Gives both lengths to every device and the shortest to the compressor,
    // and writes "MinSizeFile" and "MaxSizeFile" (minutes) at once. The
    // longest must be whole minutes, at least one, and not below the
    // shortest; false (nothing changed) otherwise. Any thread.
    bool SetFileSizes(uint32_t minSeconds, uint32_t maxSeconds);
    uint32_t DeviceStat(int device, int counter) const;
    int RestartCount(int device) const;
    int RestartCountdown(int device) const;

    const std::string& WorkDir() const { return m_workDir; }
    const std::string& BaseName() const { return m_baseName; }
    const std::string& JournalPath() const { return m_journalPath; }
    // Deletes the journal file (any thread); false when it cannot.
    bool ClearJournal();
    const std::string& SettingsPath() const { return m_settingsPath; }
    const std::string& FormatsPath() const { return m_formatsPath; }
    const std::string& DefaultRecordDirectory() const { return m_defaultRecordDir; }
    CRegistryKey& RegistryKey() { return m_registryKey; }
    const CProductNames& Names() const { return m_names; }
    IClock& Clock() const { return m_clock; }
    ServerComponents& Components() { return m_components; }

    // The users file watched by the timer and the callback run when it
    // appears, changes or disappears.
    void SetUsersFileWatch(std::string path, std::function<void()> onChange);

protected:
    // CMessageThread
    void OnMessage(int32_t code, int32_t a, int32_t b, int32_t c) override;

    // The server's operations, in the order of its operation table.
    virtual void OnStart();
    virtual void OnRun();
    virtual void OnStartDevices();
    virtual void OnStop();
    virtual void OnArchiverEvent(int32_t event, int32_t argument);
    virtual void OnNoAction() {}
    virtual void OnFailure(int32_t kind, int32_t b, int32_t c);
    // Failure kind 8: b the device, c 0 when its data stopped, 1 when it returned.
    static constexpr int32_t kFailureNetworkDeviceSilent = 8;
    virtual void JournalOpenError(int index);
    // The journal text of a device error (none for 0 and unknown errors).
    void JournalDeviceError(int index, int error);
    // Message 3: source and deviceTag are its b and c (core/ExceptionSource.h).
    virtual void OnException(int32_t code, int32_t source, int32_t deviceTag);
    virtual std::unique_ptr<IServerDevice> CreateDevice0(int candidate, int firstLine);
    virtual void DestroyDevice(int index);
    virtual void OnOtherMessage(int32_t code, int32_t a, int32_t b, int32_t c);
    // Kinds 1..4 set report to 1 when a failure to create must be reported.
    virtual std::unique_ptr<IServerDevice> CreateDevice1(int candidate, int firstLine, int& report);
    virtual std::unique_ptr<IServerDevice> CreateDevice2(int candidate, int firstLine, int& report);
    virtual std::unique_ptr<IServerDevice> CreateDevice3(int candidate, int firstLine, int& report);
    virtual std::unique_ptr<IServerDevice> CreateDevice4(int candidate, int firstLine, int& report);
    virtual void OnChangeHook() {}
    virtual void ReadSettings();
    virtual void BeforeOpenDevice(IServerDevice&) {}
    virtual void ApplyDeviceSettings(int index);
    virtual void ReadChannelDefaults() {}
    virtual void SavePathSettings();
    virtual void EnsureMp3Codec() {}
    virtual void OnTimerHook() {}
    virtual int GetCandidateCount(int kind) const;
    // Stores a device's codec mode for a rate in its settings (message 43's
    // fallback); the device layer knows where.
    static constexpr int kCodecFallbackCompression = 2;  // ADPCM
    virtual void StoreCodecMode(int /*device*/, uint32_t /*rate*/, uint32_t /*compression*/,
                                uint32_t /*speexMode*/) {}
    // Closes the two local listening links (stop step 3).
    virtual void CloseLocalLinks() {}
    // A record directory was set (the layers above pass it on).
    virtual void OnRecordDirectoryChanged() {}

    // The core part of the start message (after the transcoder configurator).
    void CoreStart();

    void SetState(uint32_t state);  // keeps the failure kind
    void SetStateWord(uint32_t state, uint32_t kind);
    // The timer's end of a restart window: the whole word becomes SS_RUNNING
    // (failure kind cleared) unless the server has stopped, which stays.
    // False when it had stopped.
    bool ResumeRunningUnlessStopped();
    void PowerStamp(bool running);

    std::recursive_mutex& FilterLock() { return m_filterLock; }

private:
    std::unique_ptr<IServerDevice> CreateDevice(int kind, int candidate, int firstLine,
                                                int& report);
    void ProbeDevices(bool compressorStarted);
    void CheckUncleanShutdown();
    void WatchUsersFile();
    void CountDownWindows();
    void DetectCompressorHang();
    // A compressor error (failure kind 5): journaled, and the compressor's
    // state appended to the exception file.
    void OnCompressorError(int32_t code);
    void StoreRecordDirectory(int index, const std::string& path);
    // Whether path is, holds or lies in a system directory; if so, journals
    // refusal (a format taking the path and the system directory).
    bool RefusedAsSystemDirectory(const std::string& path, const char* refusal);

    // Constant after construction
    IClock& m_clock;
    CProductNames m_names;
    std::string m_baseName;
    std::string m_workDir;
    std::string m_journalPath;
    std::string m_settingsPath;
    std::string m_formatsPath;
    std::string m_alarmSoundPath;
    std::string m_defaultRecordDir;
    CRegistryKey m_registryKey;
    IniFile m_settingsFile;
    std::unique_ptr<CJournal> m_journal;

    // Owned components
    ServerComponents m_components;

    // Written by the start on the message thread before other threads read it.
    ServerSettings m_settings;

    // Written by the handlers and by the timer tick (only through
    // ResumeRunningUnlessStopped, a compare-and-swap that never leaves
    // SS_STOPPED), so no lock.
    std::atomic<uint32_t> m_state{SS_INIT};
    std::atomic<int> m_currentDir{0};
    mutable CMutex m_dirLock;
    std::array<std::string, 2> m_recordDirs GUARDED_BY(m_dirLock);
    // Set by ReadSettings and SetFileSizes (client threads).
    mutable CMutex m_fileSizesLock;
    FileSizes m_fileSizes GUARDED_BY(m_fileSizesLock);

    // The device table: changed only on the message thread, under
    // m_devicesLock held exclusively; read by other threads under it shared.
    mutable CSharedMutex m_devicesLock;
    std::array<std::unique_ptr<IServerDevice>, kMaxDevices> m_devices GUARDED_BY(m_devicesLock);
    std::atomic<int> m_deviceCount{0};
    std::atomic<int> m_totalChannels{0};
    std::array<std::array<std::atomic<uint32_t>, 8>, kMaxDevices> m_deviceStats{};

    // Shared by the timer tick and the handlers.
    mutable CMutex m_countersLock;
    std::array<int, kMaxDevices> m_restartCount GUARDED_BY(m_countersLock){};
    std::array<int, kMaxDevices> m_restartCountdown GUARDED_BY(m_countersLock){};
    int m_compressorExceptions GUARDED_BY(m_countersLock) = 0;
    int m_compressorDecay GUARDED_BY(m_countersLock) = 0;
    int m_lastCompressorState GUARDED_BY(m_countersLock) = 0;
    uint32_t m_lastProcessedFiles GUARDED_BY(m_countersLock) = 0;
    uint32_t m_lastPackingProgress GUARDED_BY(m_countersLock) = 0;
    int m_hangCount GUARDED_BY(m_countersLock) = 0;

    // The number-filter lock (taken by the number-filter layer).
    std::recursive_mutex m_filterLock;
    std::atomic<bool> m_faxEnable{true};

    // Users-file watch: timer thread only, set up before the run.
    std::string m_usersFile;
    std::function<void()> m_onUsersFileChange;
    bool m_usersFilePresent = false;
    struct timespec m_usersFileTime {};  // last-write time, to the nanosecond
};

}  // namespace zorv
