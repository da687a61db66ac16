// The server-wide keys of the main settings file, with their defaults.
//
// Read once by the server start (on the message thread, before any device or
// client thread exists); the "Path" keys are written back by the stop and by
// the client operations that change them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/ServerComponents.h"
#include "platform/IniFile.h"

namespace zorv {

inline constexpr std::size_t kPathMax = 260;

struct ServerSettings {
    // "Path"
    std::string directory1;
    std::string directory2;
    uint32_t quota1Mb = 50;
    uint32_t quota2Mb = 50;
    uint32_t delSizeMb = 50;
    uint32_t minSizeFileSeconds = 5;
    uint32_t maxSizeFileSeconds = 60 * 60;  // the file holds minutes
    uint32_t compressIdle = 0;
    uint32_t maxSizeRecord = 1;
    // "Alarm"
    uint32_t sound = 1;
    uint32_t restartEnable = 1;
    uint32_t exceptionRestartEnable = 0;
    // "ServerDataBase"
    uint32_t dataBaseMode = 0;
    // "Advanced"
    uint32_t minimalNotificationDelay = 600;
    // "Aon"
    uint32_t callNotServices = 1;
    // "FaxDecoder"
    uint32_t faxEnable = 1;
    uint32_t faxDecode = 1;
    uint32_t faxLogEnable = 0;
    // "ext_watchdog"
    WatchdogSettings watchdog;
    // "DeleteFilesAtDate"
    uint32_t deleteByDateEnable = 0;
    uint32_t storageDaysCount = 90;
    StoredDateTime lastDeleteFilesDate{};  // all zero: never
    // "Server"
    std::string serverName;

    // Reads every key of the table; defaultDirectory stands for a missing
    // "Directory1"/"Directory2".
    static ServerSettings Read(const IniFile& file, const std::string& defaultDirectory);

    // Writes the "Path" keys of the save operation: both directories (the
    // given current paths), the quotas, MinSizeFile and MaxSizeFile in minutes.
    bool SavePath(IniFile& file, const std::string& dir1, const std::string& dir2) const;
};

}  // namespace zorv
