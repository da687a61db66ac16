// Test doubles of the server's components and devices. Each records what is
// asked of it into one shared call log, so a test can check the order of a
// whole sequence; knobs make single operations fail.
#pragma once

#include <fmt/format.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/ServerComponents.h"
#include "core/ServerDevice.h"
#include "platform/PeriodicTimer.h"

namespace zorv::test {

using CallLog = std::vector<std::string>;

class CLoggingTranscoders final : public ITranscoderService {
public:
    explicit CLoggingTranscoders(CallLog& log) : m_log(log) {}
    bool Start(const std::string&) override {
        m_log.push_back("transcoders.Start");
        return !m_failStart;
    }
    void StartServiceThread() override { m_log.push_back("transcoders.StartServiceThread"); }
    void Enable() override { m_log.push_back("transcoders.Enable"); }
    void Stop() override { m_log.push_back("transcoders.Stop"); }
    bool m_failStart = false;

private:
    CallLog& m_log;
};

class CLoggingDatabase final : public IRecordDatabase {
public:
    explicit CLoggingDatabase(CallLog& log) : m_log(log) {}
    bool Open(const std::string&) override {
        m_log.push_back("database.Open");
        return !m_failOpen;
    }
    void Stop() override { m_log.push_back("database.Stop"); }
    bool m_failOpen = false;

private:
    CallLog& m_log;
};

class CLoggingCompressor final : public ICompressor {
public:
    explicit CLoggingCompressor(CallLog& log) : m_log(log) {}
    bool Start() override {
        m_log.push_back("compressor.Start");
        return !m_failStart;
    }
    void Stop() override { m_log.push_back("compressor.Stop"); }
    void SetMinSizeFile(uint32_t seconds) override {
        m_log.push_back(fmt::format("compressor.SetMinSizeFile({})", seconds));
    }
    void SetCompressIdle(bool idle) override {
        m_log.push_back(fmt::format("compressor.SetCompressIdle({})", idle));
    }
    void SetRecordPath(int index, const std::string&) override {
        m_log.push_back(fmt::format("compressor.SetRecordPath({})", index));
    }
    CompressorSnapshot Snapshot() const override { return m_snapshot; }
    void DumpState(std::ostream& out) const override {
        out << "CFileCompressor\nm_isTerminate=0\n";
    }
    bool m_failStart = false;
    CompressorSnapshot m_snapshot;

private:
    CallLog& m_log;
};

class CLoggingWatchdog final : public IExternalWatchdog {
public:
    explicit CLoggingWatchdog(CallLog& log) : m_log(log) {}
    void Configure(const WatchdogSettings& s) override {
        m_log.push_back(fmt::format("watchdog.Configure({})", s.initTimeout));
    }
    void Start() override { m_log.push_back("watchdog.Start"); }
    void Send(int command, int flag, int argument) override {
        m_log.push_back(fmt::format("watchdog.Send({},{},{})", command, flag, argument));
    }
    bool IsAlarmSet() const override { return m_alarm; }
    void Stop() override { m_log.push_back("watchdog.Stop"); }
    bool m_alarm = false;

private:
    CallLog& m_log;
};

class CLoggingArchiver final : public IArchiver {
public:
    explicit CLoggingArchiver(CallLog& log) : m_log(log) {}
    void Start() override { m_log.push_back("archiver.Start"); }
    void Stop() override { m_log.push_back("archiver.Stop"); }
    std::string MediumName(int medium) const override { return fmt::format("medium{}", medium); }

private:
    CallLog& m_log;
};

class CLoggingScheduler final : public IScheduler {
public:
    explicit CLoggingScheduler(CallLog& log) : m_log(log) {}
    bool Load(const std::string&) override {
        m_log.push_back("scheduler.Load");
        return !m_failLoad;
    }
    void Tick() override { m_log.push_back("scheduler.Tick"); }
    bool m_failLoad = false;

private:
    CallLog& m_log;
};

class CLoggingMail final : public IMailNotifier {
public:
    explicit CLoggingMail(CallLog& log) : m_log(log) {}
    void LoadSettings(const std::string&) override { m_log.push_back("mail.LoadSettings"); }
    void SetMinimalDelay(uint32_t seconds) override {
        m_log.push_back(fmt::format("mail.SetMinimalDelay({})", seconds));
    }
    void Notify(int event, const std::string&, const std::string&, const std::string& attachment,
                int zip) override {
        m_log.push_back(fmt::format("mail.Notify({},{},{})", event, attachment.empty() ? "-" : "file",
                                    zip));
    }

private:
    CallLog& m_log;
};

class CLoggingFax final : public IFaxDecoder {
public:
    explicit CLoggingFax(CallLog& log) : m_log(log) {}
    void SetWorkDirectory(const std::string&) override { m_log.push_back("fax.SetWorkDirectory"); }
    void SetDecode(bool on) override { m_log.push_back(fmt::format("fax.SetDecode({})", on)); }
    void SetLogEnable(bool on) override {
        m_log.push_back(fmt::format("fax.SetLogEnable({})", on));
    }

private:
    CallLog& m_log;
};

class CLoggingNetwork final : public INetworkModule {
public:
    explicit CLoggingNetwork(CallLog& log) : m_log(log) {}
    void Start() override { m_log.push_back("network.Start"); }
    void Stop() override { m_log.push_back("network.Stop"); }

private:
    CallLog& m_log;
};

class CLoggingFilters final : public INumberFilters {
public:
    explicit CLoggingFilters(CallLog& log) : m_log(log) {}
    void Read() override { m_log.push_back("filters.Read"); }

private:
    CallLog& m_log;
};

class CLoggingStorage final : public IStorageKeeper {
public:
    explicit CLoggingStorage(CallLog& log) : m_log(log) {}
    // Holds what the start gives it; tests change it as client commands would.
    void Configure(const StorageSettings& s) override { settings = s; }
    StorageSettings Current() const override { return settings; }
    void CheckDeleteByAge() override { m_log.push_back("storage.CheckDeleteByAge"); }
    void CheckDiskSpace() override { m_log.push_back("storage.CheckDiskSpace"); }

    StorageSettings settings;

private:
    CallLog& m_log;
};

class CLoggingPolicy final : public IFailurePolicy {
public:
    explicit CLoggingPolicy(CallLog& log) : m_log(log) {}
    void OnFailure(int32_t kind, int32_t b, int32_t c) override {
        m_log.push_back(fmt::format("policy.OnFailure({},{},{})", kind, b, c));
    }
    void OnException(int32_t code, const ExceptionOrigin& origin) override {
        m_log.push_back(fmt::format("policy.OnException({},{} {})", code,
                                    ExceptionGroupName(origin.group), origin.number));
    }

private:
    CallLog& m_log;
};

// A device whose results the test sets; it logs as "devN.<operation>".
class CFakeDevice final : public IServerDevice {
public:
    CFakeDevice(CallLog& log, std::string name, int channels = 4)
        : m_log(log), m_name(std::move(name)), m_channels(channels) {}

    void SetDeviceIndex(int index) override {
        m_index = index;
        Log(fmt::format("SetDeviceIndex({})", index));
    }
    void SetFileSuffixes(const std::string& file, const std::string& dir) override {
        Log("SetFileSuffixes(" + file + "," + dir + ")");
    }
    bool Open() override {
        Log("Open");
        return m_openError == 0;
    }
    void Close() override { Log("Close"); }
    bool Start() override {
        Log("Start");
        if (m_throwOnStart) {
            throw std::runtime_error("start failed");
        }
        return !m_failStart;
    }
    void Stop() override { Log("Stop"); }
    int LastError() const override { return m_openError; }
    uint32_t BoardId() const override { return 0x1234; }
    int ChannelCount() const override { return m_channels; }
    uint32_t GetDeviceNumber() const override { return 0; }
    void SetRecordLengths(uint32_t min, uint32_t max) override {
        Log(fmt::format("SetRecordLengths({},{})", min, max));
    }
    void SetRecordRoot(const std::string& path) override {
        m_root = path;
        Log("SetRecordRoot");
    }
    void SetServerName(const std::string& name) override { Log("SetServerName(" + name + ")"); }
    int SetCompress(int first, int last, int value, bool persist) override {
        Log(fmt::format("SetCompress({},{},{},{})", first, last, value, persist));
        return 1;
    }
    int RestartHardware() override {
        Log("RestartHardware");
        return 1;
    }
    int OnDeviceNotification(int value) override {
        Log(fmt::format("OnDeviceNotification({})", value));
        return 1;
    }
    int SetCodecMode(int rate, int compression, int mode, int) override {
        Log(fmt::format("SetCodecMode({},{},{})", rate, compression, mode));
        return 0;  // accepted
    }

    int m_openError = 0;
    bool m_failStart = false;
    bool m_throwOnStart = false;
    int m_index = -1;
    std::string m_root;

private:
    void Log(const std::string& what) { m_log.push_back(m_name + "." + what); }

    CallLog& m_log;
    std::string m_name;
    int m_channels;
};

// Components that all log into one call log; pointers stay valid while the
// server that owns the components lives.
struct LoggingComponents {
    CLoggingTranscoders* transcoders;
    CLoggingDatabase* database;
    CLoggingCompressor* compressor;
    CLoggingWatchdog* watchdog;
    CLoggingArchiver* archiver;
    CLoggingScheduler* scheduler;
    CLoggingMail* mail;
    CLoggingNetwork* network;
    CManualTimer* timer;
    CLoggingStorage* storage;

    static ServerComponents Make(CallLog& log, LoggingComponents& out) {
        ServerComponents c;
        auto transcoders = std::make_unique<CLoggingTranscoders>(log);
        auto database = std::make_unique<CLoggingDatabase>(log);
        auto compressor = std::make_unique<CLoggingCompressor>(log);
        auto watchdog = std::make_unique<CLoggingWatchdog>(log);
        auto archiver = std::make_unique<CLoggingArchiver>(log);
        auto scheduler = std::make_unique<CLoggingScheduler>(log);
        auto mail = std::make_unique<CLoggingMail>(log);
        auto network = std::make_unique<CLoggingNetwork>(log);
        auto timer = std::make_unique<CManualTimer>();
        auto storage = std::make_unique<CLoggingStorage>(log);
        out = {transcoders.get(), database.get(), compressor.get(), watchdog.get(), archiver.get(),
               scheduler.get(),   mail.get(),     network.get(),    timer.get(),    storage.get()};
        c.transcoders = std::move(transcoders);
        c.database = std::move(database);
        c.compressor = std::move(compressor);
        c.watchdog = std::move(watchdog);
        c.archiver = std::move(archiver);
        c.scheduler = std::move(scheduler);
        c.mail = std::move(mail);
        c.network = std::move(network);
        c.timer = std::move(timer);
        c.faxDecoder = std::make_unique<CLoggingFax>(log);
        c.numberFilters = std::make_unique<CLoggingFilters>(log);
        c.storage = std::move(storage);
        c.failurePolicy = std::make_unique<CLoggingPolicy>(log);
        return c;
    }
};

}  // namespace zorv::test
