// Components that succeed and do nothing, for members not yet present.
#include "core/ServerComponents.h"

namespace zorv {
namespace {

class CNullTranscoderService final : public ITranscoderService {
public:
    bool Start(const std::string&) override { return true; }
    void StartServiceThread() override {}
    void Enable() override {}
    void Stop() override {}
};

class CNullRecordDatabase final : public IRecordDatabase {
public:
    bool Open(const std::string&) override { return true; }
    void Stop() override {}
};

class CNullCompressor final : public ICompressor {
public:
    bool Start() override { return true; }
    void Stop() override {}
    void SetMinSizeFile(uint32_t) override {}
    void SetCompressIdle(bool) override {}
    void SetRecordPath(int, const std::string&) override {}
    CompressorSnapshot Snapshot() const override { return {}; }
};

class CNullWatchdog final : public IExternalWatchdog {
public:
    void Configure(const WatchdogSettings&) override {}
    void Start() override {}
    void Send(int, int, int) override {}
    bool IsAlarmSet() const override { return false; }
    void Stop() override {}
};

class CNullArchiver final : public IArchiver {
public:
    void Start() override {}
    void Stop() override {}
    std::string MediumName(int) const override { return ""; }
};

class CNullScheduler final : public IScheduler {
public:
    bool Load(const std::string&) override { return true; }
    void Tick() override {}
};

class CNullMailNotifier final : public IMailNotifier {
public:
    void LoadSettings(const std::string&) override {}
    void SetMinimalDelay(uint32_t) override {}
    void Notify(int, const std::string&, const std::string&, const std::string&, int) override {}
};

class CNullFaxDecoder final : public IFaxDecoder {
public:
    void SetWorkDirectory(const std::string&) override {}
    void SetDecode(bool) override {}
    void SetLogEnable(bool) override {}
};

class CNullNetworkModule final : public INetworkModule {
public:
    void Start() override {}
    void Stop() override {}
};

class CNullNumberFilters final : public INumberFilters {
public:
    void Read() override {}
};

class CNullStorageKeeper final : public IStorageKeeper {
public:
    void Configure(const StorageSettings& settings) override { m_settings = settings; }
    StorageSettings Current() const override { return m_settings; }
    void CheckDeleteByAge() override {}
    void CheckDiskSpace() override {}

private:
    StorageSettings m_settings;
};

class CNullFailurePolicy final : public IFailurePolicy {
public:
    void OnFailure(int32_t, int32_t, int32_t) override {}
    void OnException(int32_t, const ExceptionOrigin&) override {}
};

template <typename Null, typename Interface>
void Fill(std::unique_ptr<Interface>& member) {
    if (!member) {
        member = std::make_unique<Null>();
    }
}

}  // namespace

void ServerComponents::FillDefaults() {
    Fill<CNullTranscoderService>(transcoders);
    Fill<CNullRecordDatabase>(database);
    Fill<CNullCompressor>(compressor);
    Fill<CNullWatchdog>(watchdog);
    Fill<CNullArchiver>(archiver);
    Fill<CNullScheduler>(scheduler);
    Fill<CNullMailNotifier>(mail);
    Fill<CNullFaxDecoder>(faxDecoder);
    Fill<CNullNetworkModule>(network);
    Fill<CNullNumberFilters>(numberFilters);
    Fill<CNullStorageKeeper>(storage);
    Fill<CNullFailurePolicy>(failurePolicy);
    Fill<CPeriodicTimer>(timer);
}

}  // namespace zorv
