// The long-lived components the server object owns, as the server core sees
// them.
//
// The core drives these components through its start, run, stop and timer
// sequences; their implementations live in the subsystems above the core and
// are handed to the server when it is built. Every interface has a "null"
// implementation (NullComponents.cpp) that succeeds and does nothing, used
// for a component not yet present and as a base for test doubles.
//
// All calls come from the server's message thread or its timer thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "core/ExceptionSource.h"
#include "platform/PeriodicTimer.h"

namespace zorv {

// Network transcoders: the configurator and its service thread.
class ITranscoderService {
public:
    virtual ~ITranscoderService() = default;
    // Loads the transcoder list from iniPath and starts the configurator.
    virtual bool Start(const std::string& iniPath) = 0;
    virtual void StartServiceThread() = 0;
    // Lets the configurator answer requests (end of the start message).
    virtual void Enable() = 0;
    // Stops the configurator and the service thread (up to 3 s for the thread).
    virtual void Stop() = 0;
};

// The record database writer.
class IRecordDatabase {
public:
    virtual ~IRecordDatabase() = default;
    virtual bool Open(const std::string& workDir) = 0;
    virtual void Stop() = 0;
};

// What the timer's hang detection reads of the compressor.
struct CompressorSnapshot {
    int state = 0;                 // compressor state code
    uint32_t processedFiles = 0;   // files handled since start
    uint32_t packingProgress = 0;  // 0 when no source file is open
    uint32_t sourceSeconds = 0;    // duration of the open source file, 0 when none
};

// Failure kind of the compressor in message 6; b is its error code (1..8).
inline constexpr int32_t kFailureCompressor = 5;

inline constexpr int kCompressorFaxProcessing = 3;
inline constexpr int kCompressorCompressProcessing = 4;
inline constexpr int kCompressorAonProcessing = 5;

// The background compressor.
class ICompressor {
public:
    virtual ~ICompressor() = default;
    virtual bool Start() = 0;
    virtual void Stop() = 0;
    virtual void SetMinSizeFile(uint32_t seconds) = 0;
    virtual void SetCompressIdle(bool idleOnly) = 0;
    virtual void SetRecordPath(int index, const std::string& path) = 0;
    // Published atomically: the four values belong to one moment.
    virtual CompressorSnapshot Snapshot() const = 0;
    // The compressor's state, one "name=value" line each, for the server's
    // exception file after a compressor error.
    virtual void DumpState(std::ostream& /*out*/) const {}
};

// Settings of the external watchdog unit ("ext_watchdog").
struct WatchdogSettings {
    uint32_t enable = 0;
    uint32_t port = 1;
    uint32_t baudRate = 2400;
    uint32_t initTimeout = 30;
    uint32_t replyWaitMs = 1000;
};

// The external watchdog unit on a serial port.
class IExternalWatchdog {
public:
    virtual ~IExternalWatchdog() = default;
    virtual void Configure(const WatchdogSettings& settings) = 0;
    virtual void Start() = 0;
    virtual void Send(int command, int flag, int argument) = 0;
    virtual bool IsAlarmSet() const = 0;
    virtual void Stop() = 0;
};

// The archiver of finished records.
class IArchiver {
public:
    virtual ~IArchiver() = default;
    virtual void Start() = 0;
    virtual void Stop() = 0;
    // The name of archive medium number medium, for journal texts.
    virtual std::string MediumName(int medium) const = 0;
};

// The scheduler of channel periods.
class IScheduler {
public:
    virtual ~IScheduler() = default;
    virtual bool Load(const std::string& path) = 0;
    virtual void Tick() = 0;
};

// Mail notifications of selected events.
class IMailNotifier {
public:
    virtual ~IMailNotifier() = default;
    virtual void LoadSettings(const std::string& workDir) = 0;
    virtual void SetMinimalDelay(uint32_t seconds) = 0;
    // event: the event's bit; attachment: a file path or ""; zip: 1 to zip it.
    virtual void Notify(int event, const std::string& subject, const std::string& body,
                        const std::string& attachment, int zip) = 0;
};

// Fax detection in finished records.
class IFaxDecoder {
public:
    virtual ~IFaxDecoder() = default;
    virtual void SetWorkDirectory(const std::string& workDir) = 0;
    virtual void SetDecode(bool decode) = 0;
    virtual void SetLogEnable(bool enable) = 0;
};

// Client access over the network (announcements and the client server).
class INetworkModule {
public:
    virtual ~INetworkModule() = default;
    virtual void Start() = 0;
    virtual void Stop() = 0;
};

// The number-filter list.
class INumberFilters {
public:
    virtual ~INumberFilters() = default;
    virtual void Read() = 0;
};

// A calendar date and time as stored in "LastDeleteFilesDate": eight 16-bit
// fields, little-endian, 16 bytes.
struct StoredDateTime {
    uint16_t year;
    uint16_t month;
    uint16_t dayOfWeek;
    uint16_t day;
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};
static_assert(sizeof(StoredDateTime) == 16);
static_assert(offsetof(StoredDateTime, day) == 6 && offsetof(StoredDateTime, milliseconds) == 14);

// The storage keys of the main settings file (sizes in megabytes).
struct StorageSettings {
    uint32_t quota1Mb = 50;          // "Quota1_Ex": free space to keep on Directory1's file system
    uint32_t quota2Mb = 50;          // "Quota2_Ex"
    uint32_t delSizeMb = 50;         // "DelSize_Ex": asked of the database in one deletion
    uint32_t deleteByAgeEnable = 0;  // "DeleteFilesAtDate"/"Enable"
    uint32_t storageDays = 90;       // "DeleteFilesAtDate"/"StorageDaysCount"
    StoredDateTime lastDeleteFilesDate{};  // all zero: never
};

// Storage quotas: deletion by age and the disk-space check.
class IStorageKeeper {
public:
    virtual ~IStorageKeeper() = default;
    // The settings read at the start (message thread, before the timer runs).
    virtual void Configure(const StorageSettings& settings) = 0;
    // The current values, as client commands may have changed them; the stop
    // writes the "Path" keys back from these.
    virtual StorageSettings Current() const = 0;
    // Timer thread, in this order on every tick.
    virtual void CheckDeleteByAge() = 0;
    virtual void CheckDiskSpace() = 0;
};

// The reaction to failure (6) and exception (3) messages.
class IFailurePolicy {
public:
    virtual ~IFailurePolicy() = default;
    virtual void OnFailure(int32_t kind, int32_t b, int32_t c) = 0;
    // origin: where the exception came from (ClassifyExceptionSource).
    virtual void OnException(int32_t code, const ExceptionOrigin& origin) = 0;
};

// Everything the server owns. A member left empty gets its null implementation.
struct ServerComponents {
    std::unique_ptr<ITranscoderService> transcoders;
    std::unique_ptr<IRecordDatabase> database;
    std::unique_ptr<ICompressor> compressor;
    std::unique_ptr<IExternalWatchdog> watchdog;
    std::unique_ptr<IArchiver> archiver;
    std::unique_ptr<IScheduler> scheduler;
    std::unique_ptr<IMailNotifier> mail;
    std::unique_ptr<IFaxDecoder> faxDecoder;
    std::unique_ptr<INetworkModule> network;
    std::unique_ptr<INumberFilters> numberFilters;
    std::unique_ptr<IStorageKeeper> storage;
    std::unique_ptr<IFailurePolicy> failurePolicy;
    std::unique_ptr<IPeriodicTimer> timer;

    // Fills every empty member with its null implementation (the timer with a
    // real CPeriodicTimer).
    void FillDefaults();
};

}  // namespace zorv
