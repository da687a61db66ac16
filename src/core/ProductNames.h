// Edition-dependent names: files, registry key and service name are all
// formed from the product prefix (default "ZORV") by a fixed index.
//
// The prefix comes from the branding file "sdata.skn" beside the executable.
// Instance() is built on first use and read-only afterwards; safe from any
// thread.
#pragma once

#include <array>
#include <string>

namespace zorv {

// The suffixes of the record file names of this edition: a record is
// "<start><line><counter><device>[_rmo_]z18.wav", in a record root or in its
// day directory "<YYYYMMDD>.zr18" (see storage/RecordFileCheck.h).
inline constexpr const char* kRecordFileSuffix = "z18";
inline constexpr const char* kRecordDaySuffix = "zr18";

class CProductNames {
public:
    static constexpr int kCount = 42;
    static constexpr const char* kDefaultPrefix = "ZORV";

    // The indexes this server uses.
    enum Index : int {
        kMainSettingsFile = 2,  // "<P>_18.ini"
        kLanguageBase = 20,     // "<P>": base name of the language-selection file
        kServiceName = 27,      // "<P>18Server"
        kFileBaseName = 32,     // "<P>_18": registry key, settings, journal, formats
        kArchiveName = 38,      // "<P>18BackUp"
        kDatabaseFile = 41,     // "<P>.dbf"
    };

    explicit CProductNames(std::string prefix);

    // The name at index, "" outside 0..41.
    std::string Name(int index) const;
    // The service's system group: the service name in lower case
    // ("zorv18server"). Its members may call every method of the local
    // interface and read the records, the database and the journal.
    std::string ServiceGroup() const;
    const std::string& Prefix() const { return m_prefix; }

    // The prefix of a branding file: 16 bytes at offset 10 of its last 1504
    // bytes, up to the first zero. Default when the file is missing, shorter
    // than 1504 bytes or the text is empty.
    static std::string ReadPrefix(const std::string& brandingFile);

    // The process's names, from "sdata.skn" beside the executable.
    static const CProductNames& Instance();

private:
    std::string m_prefix;
};

// The directory of the running executable, without a trailing '/'.
std::string ExecutableDirectory();
// The full path of the running executable.
std::string ExecutablePath();

}  // namespace zorv
