// The directories of the operating system that a record directory may never
// be: the server deletes old records below its record directories as root,
// so none of them may be, hold or lie in "/", "/etc", "/usr", "/bin", "/sbin",
// "/lib", "/lib64", "/boot", "/proc", "/sys", "/dev", "/run" or the home
// directory of root (from the user database, "/root" when it has none).
// "/" itself is refused only as itself: every path lies in it.
//
// A path is compared after symbolic links, "." and ".." are resolved (the
// part that does not exist yet is taken as written), against each system
// directory both as named and resolved (on a merged /usr, "/bin" is
// "/usr/bin"). Pure functions of the file system; any thread.
#pragma once

#include <string>
#include <vector>

namespace zorv {

// The system directories as named above.
std::vector<std::string> SystemDirectories();

// The system directory that path is, holds or lies in, as named in the list;
// empty when none (also for an empty path, which names no directory). A
// relative path is taken from the current directory; a path that cannot be
// resolved counts as "/".
std::string SystemDirectoryOf(const std::string& path);

// The same comparison against the given list (absolute paths).
std::string SystemDirectoryOf(const std::string& path, const std::vector<std::string>& system);

}  // namespace zorv
