#include "platform/ZipArchive.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <ctime>
#include <fstream>
#include <vector>

#include "platform/FileOps.h"

namespace zorv {
namespace {

zip_fileinfo InfoFor(const std::string& filePath) {
    zip_fileinfo info{};
    struct stat st {};
    std::time_t when = std::time(nullptr);
    if (::stat(filePath.c_str(), &st) == 0) {
        when = st.st_mtime;
    }
    std::tm tm{};
    localtime_r(&when, &tm);
    info.tmz_date.tm_sec = static_cast<uInt>(tm.tm_sec);
    info.tmz_date.tm_min = static_cast<uInt>(tm.tm_min);
    info.tmz_date.tm_hour = static_cast<uInt>(tm.tm_hour);
    info.tmz_date.tm_mday = static_cast<uInt>(tm.tm_mday);
    info.tmz_date.tm_mon = static_cast<uInt>(tm.tm_mon);
    info.tmz_date.tm_year = static_cast<uInt>(tm.tm_year + 1900);
    return info;
}

bool WriteArchive(const std::string& tempPath, const std::string& filePath,
                  const std::string& entryName) {
    std::ifstream in(filePath, std::ios::binary);
    if (!in) {
        return false;
    }
    // The archive is made with its mode first: minizip would create it 0666
    // less the umask, and keeps the mode of a file that is there.
    if (!CreateFileIfMissing(tempPath, kDataFileMode)) {
        return false;
    }
    zipFile zip = zipOpen64(tempPath.c_str(), APPEND_STATUS_CREATE);
    if (zip == nullptr) {
        return false;
    }
    const zip_fileinfo info = InfoFor(filePath);
    bool ok = zipOpenNewFileInZip64(zip, entryName.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                    Z_DEFLATED, Z_DEFAULT_COMPRESSION, 1) == ZIP_OK;
    std::vector<char> buffer(64 * 1024);
    while (ok && in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize n = in.gcount();
        if (n > 0) {
            ok = zipWriteInFileInZip(zip, buffer.data(), static_cast<unsigned>(n)) == ZIP_OK;
        }
    }
    ok = ok && !in.bad();
    ok = zipCloseFileInZip(zip) == ZIP_OK && ok;
    ok = zipClose(zip, nullptr) == ZIP_OK && ok;
    return ok;
}

}  // namespace

bool CreateZipWithFile(const std::string& zipPath, const std::string& filePath,
                       const std::string& entryName) {
    const std::string tempPath = zipPath + ".part";
    ::unlink(tempPath.c_str());
    if (!WriteArchive(tempPath, filePath, entryName) || !RenameNoReplace(tempPath, zipPath)) {
        ::unlink(tempPath.c_str());
        return false;
    }
    return true;
}

}  // namespace zorv
