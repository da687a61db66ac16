// File operations the server needs beyond the standard library, and the
// modes of what it creates.
//
// Everything the server makes is for the service's user and group only: the
// service runs with its own group (the systemd unit's Group=) and umask 027,
// and every creation below names its mode as well, so that a caller with a
// wider umask still gets these modes. The group is how a reader is let in.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace zorv {

// The umask of a running server.
inline constexpr mode_t kServerUmask = 027;
// Records, the record database, the journal, settings, the lock file.
inline constexpr mode_t kDataFileMode = 0640;
// Files holding passwords that can be recovered (the transcoders' settings).
inline constexpr mode_t kSecretFileMode = 0600;
// Record roots, day directories, the directory of set-aside records.
inline constexpr mode_t kDataDirectoryMode = 0750;
// Files read by other system programs: the systemd unit and the bus policy
// (the system bus reads its policy again as its own user on a reload).
inline constexpr mode_t kSystemFileMode = 0644;

// Renames from to to only when to does not exist (never replaces a file).
// False with errno set otherwise (EEXIST when to exists).
bool RenameNoReplace(const std::string& from, const std::string& to);

// The absolute form of path with symbolic links and "." and ".." resolved (a
// missing tail is kept as written), without a trailing '/' except for "/"
// itself; "" when it cannot be formed.
std::string ResolvePath(const std::string& path);

// The first of base + suffix, base + "-2" + suffix, base + "-3" + suffix, ...
// that does not exist; "" when none is free within a thousand tries.
std::string FreeFileName(const std::string& base, const std::string& suffix);

// Makes the directory path and every missing parent, each new one with mode
// (less what the umask takes). True when path is a directory afterwards;
// directories that exist keep their mode.
bool MakeDirectories(const std::string& path, mode_t mode = kDataDirectoryMode);

// Makes path an empty file of exactly mode (whatever the umask) when nothing
// is there; a file that exists is left as it is. False with errno set when
// neither holds.
bool CreateFileIfMissing(const std::string& path, mode_t mode);

enum class FileWrite {
    kReplace,  // the file holds bytes afterwards, with exactly mode
    kAppend,   // bytes are added at the end; a new file gets mode (less the umask)
};
// Writes bytes to path. False when the file could not be opened or written.
bool WriteFile(const std::string& path, std::string_view bytes, mode_t mode, FileWrite how);

}  // namespace zorv
