#include "core/ServerSettings.h"

#include <cstring>
#include <limits>

namespace zorv {

ServerSettings ServerSettings::Read(const IniFile& file, const std::string& defaultDirectory) {
    ServerSettings s;
    s.directory1 = file.GetString("Path", "Directory1", defaultDirectory, kPathMax);
    s.directory2 = file.GetString("Path", "Directory2", defaultDirectory, kPathMax);
    s.quota1Mb = file.GetUint("Path", "Quota1_Ex", s.quota1Mb);
    s.quota2Mb = file.GetUint("Path", "Quota2_Ex", s.quota2Mb);
    s.delSizeMb = file.GetUint("Path", "DelSize_Ex", s.delSizeMb);
    s.minSizeFileSeconds = file.GetUint("Path", "MinSizeFile", s.minSizeFileSeconds);
    // Kept in seconds; a value too large for that is held at the largest one.
    constexpr uint32_t kMaxMinutes = std::numeric_limits<uint32_t>::max() / 60;
    const uint32_t minutes = file.GetUint("Path", "MaxSizeFile", 60);
    s.maxSizeFileSeconds = (minutes > kMaxMinutes ? kMaxMinutes : minutes) * 60;
    s.compressIdle = file.GetUint("Path", "CompressIdle", s.compressIdle);
    s.maxSizeRecord = file.GetUint("Path", "MaxSizeRecord", s.maxSizeRecord);

    s.sound = file.GetUint("Alarm", "Sound", s.sound);
    s.restartEnable = file.GetUint("Alarm", "RestartEnable", s.restartEnable);
    s.exceptionRestartEnable =
        file.GetUint("Alarm", "ExceptionRestartEnable", s.exceptionRestartEnable);
    s.dataBaseMode = file.GetUint("ServerDataBase", "DataBaseMode", s.dataBaseMode);
    s.minimalNotificationDelay =
        file.GetUint("Advanced", "MinimalNotificationDelay", s.minimalNotificationDelay);
    s.callNotServices = file.GetUint("Aon", "CallNotServices", s.callNotServices);

    s.faxEnable = file.GetUint("FaxDecoder", "Enable", s.faxEnable);
    s.faxDecode = file.GetUint("FaxDecoder", "Decode", s.faxDecode);
    s.faxLogEnable = file.GetUint("FaxDecoder", "LogEnable", s.faxLogEnable);

    WatchdogSettings& w = s.watchdog;
    w.enable = file.GetUint("ext_watchdog", "enable", w.enable);
    w.port = file.GetUint("ext_watchdog", "com", w.port);
    w.baudRate = file.GetUint("ext_watchdog", "baud_rate", w.baudRate);
    w.initTimeout = file.GetUint("ext_watchdog", "init_to", w.initTimeout);
    w.replyWaitMs = file.GetUint("ext_watchdog", "wait_to", w.replyWaitMs);

    s.deleteByDateEnable = file.GetUint("DeleteFilesAtDate", "Enable", s.deleteByDateEnable);
    s.storageDaysCount = file.GetUint("DeleteFilesAtDate", "StorageDaysCount", s.storageDaysCount);
    if (!file.GetStruct("DeleteFilesAtDate", "LastDeleteFilesDate", &s.lastDeleteFilesDate,
                        sizeof s.lastDeleteFilesDate)) {
        std::memset(&s.lastDeleteFilesDate, 0, sizeof s.lastDeleteFilesDate);
    }

    s.serverName = file.GetString("Server", "Name", "", kPathMax);
    return s;
}

bool ServerSettings::SavePath(IniFile& file, const std::string& dir1,
                              const std::string& dir2) const {
    bool ok = file.WriteString("Path", "Directory1", dir1);
    ok = file.WriteString("Path", "Directory2", dir2) && ok;
    ok = file.WriteUint("Path", "Quota1_Ex", quota1Mb) && ok;
    ok = file.WriteUint("Path", "Quota2_Ex", quota2Mb) && ok;
    ok = file.WriteUint("Path", "DelSize_Ex", delSizeMb) && ok;
    ok = file.WriteUint("Path", "MinSizeFile", minSizeFileSeconds) && ok;
    ok = file.WriteUint("Path", "MaxSizeFile", maxSizeFileSeconds / 60) && ok;
    return ok;
}

}  // namespace zorv
