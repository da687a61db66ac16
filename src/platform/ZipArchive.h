// Zip archives of single files (rotated journals, mail attachments).
#pragma once

#include <string>

namespace zorv {

// Writes a new zip archive at zipPath holding the file at filePath, deflated,
// under entryName. The archive is written beside its final name and moved
// there only when complete, and an existing file at zipPath is never
// replaced: false (and nothing left behind) on any failure, including that.
bool CreateZipWithFile(const std::string& zipPath, const std::string& filePath,
                       const std::string& entryName);

}  // namespace zorv
