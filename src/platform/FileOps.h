// File operations the server needs beyond the standard library.
#pragma once

#include <string>

namespace zorv {

// Renames from to to only when to does not exist (never replaces a file).
// False with errno set otherwise (EEXIST when to exists).
bool RenameNoReplace(const std::string& from, const std::string& to);

// The first of base + suffix, base + "-2" + suffix, base + "-3" + suffix, ...
// that does not exist; "" when none is free within a thousand tries.
std::string FreeFileName(const std::string& base, const std::string& suffix);

}  // namespace zorv
