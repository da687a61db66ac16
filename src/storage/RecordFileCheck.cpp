#include "storage/RecordFileCheck.h"

#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <system_error>

#include "platform/FileOps.h"
#include "storage/WavRecordParser.h"

namespace zorv {
namespace {

namespace fs = std::filesystem;

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Removes tail from the end of text when it is there (any letter case).
bool CutTail(std::string_view& text, std::string_view tail) {
    if (text.size() < tail.size() || !EqualNoCase(text.substr(text.size() - tail.size()), tail)) {
        return false;
    }
    text.remove_suffix(tail.size());
    return true;
}

bool AllDigits(std::string_view text) {
    for (const char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return true;
}

// The value of two digits at offset.
int Two(std::string_view digits, std::size_t offset) {
    return (digits[offset] - '0') * 10 + (digits[offset + 1] - '0');
}

// "YYYYMMDDhhmmss" as the recorder writes a local time (a leap second
// included).
bool IsStartTime(std::string_view digits) {
    const int month = Two(digits, 4);
    const int day = Two(digits, 6);
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && Two(digits, 8) <= 23 &&
           Two(digits, 10) <= 59 && Two(digits, 12) <= 60;
}

// The lexical normal form of an absolute path, without a trailing '/'.
std::string Normal(const std::string& path) {
    std::string normal = fs::path(path).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') {
        normal.pop_back();
    }
    return normal;
}

bool HasDotParts(const std::string& path) {
    for (const fs::path& part : fs::path(path)) {
        if (part == "." || part == "..") {
            return true;
        }
    }
    return false;
}

// The fault of a path below a root: below is the lexical rest after the
// root, place holds both resolved forms.
ERecordFileFault PlaceFault(const std::string& below, bool dotted, const SRecordPlace& place) {
    if (dotted) {
        return ERecordFileFault::kLinked;
    }
    const std::size_t slash = below.find('/');
    if (slash == std::string::npos) {
        if (!IsRecordFileName(below)) {
            return ERecordFileFault::kBadName;
        }
    } else if (below.find('/', slash + 1) != std::string::npos ||
               !IsRecordDayDirectoryName(std::string_view(below).substr(0, slash)) ||
               !IsRecordFileName(std::string_view(below).substr(slash + 1))) {
        return ERecordFileFault::kBadName;
    }
    if (place.root.empty() || place.file.empty()) {
        return ERecordFileFault::kUnreadable;
    }
    const std::string expected = place.root == "/" ? "/" + below : place.root + "/" + below;
    return place.file == expected ? ERecordFileFault::kNone : ERecordFileFault::kLinked;
}

}  // namespace

const char* RecordFileFaultText(ERecordFileFault fault) {
    switch (fault) {
        case ERecordFileFault::kNone:
            return "is a record file";
        case ERecordFileFault::kNotInRoot:
            return "is not under a record directory";
        case ERecordFileFault::kBadName:
            return "is not named or placed as a record file";
        case ERecordFileFault::kLinked:
            return "is reached through a symbolic link, \".\" or \"..\"";
        case ERecordFileFault::kMissing:
            return "does not exist";
        case ERecordFileFault::kNotRegular:
            return "is not a regular file";
        case ERecordFileFault::kNoHeader:
            return "has no record header with its metadata";
        case ERecordFileFault::kInUse:
            return "is in use";
        case ERecordFileFault::kUnreadable:
            return "cannot be read";
    }
    return "cannot be used";
}

bool IsRecordFileName(std::string_view name) {
    if (!CutTail(name, ".wav") || !CutTail(name, kRecordFileSuffix)) {
        return false;
    }
    CutTail(name, "_rmo_");
    // The start (14 digits), the line (at least 3), the counter and the
    // device index (at least one each).
    return name.size() >= 14 + 3 + 1 + 1 && AllDigits(name) && IsStartTime(name);
}

bool IsRecordDayDirectoryName(std::string_view name, std::string_view daySuffix) {
    return name.size() > 9 && name[8] == '.' && AllDigits(name.substr(0, 8)) &&
           EqualNoCase(name.substr(9), daySuffix);
}

std::string_view RecordNameOf(std::string_view namefile) {
    const std::size_t slash = namefile.find_last_of('/');
    return slash == std::string_view::npos ? namefile : namefile.substr(slash + 1);
}

SRecordPlace LocateRecordFile(const std::string& path, const std::vector<std::string>& roots) {
    SRecordPlace found;
    if (path.empty() || path.front() != '/') {
        return found;
    }
    const std::string normal = Normal(path);
    const bool dotted = HasDotParts(path);
    for (const std::string& root : roots) {
        if (root.empty() || root.front() != '/') {
            continue;
        }
        const std::string base = Normal(root);
        const std::string prefix = base == "/" ? base : base + "/";
        if (normal.size() <= prefix.size() || normal.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        SRecordPlace place;
        place.root = ResolvePath(base);
        place.file = ResolvePath(path);
        place.fault = PlaceFault(normal.substr(prefix.size()), dotted, place);
        if (place.fault == ERecordFileFault::kNone) {
            return place;
        }
        if (found.fault == ERecordFileFault::kNotInRoot) {
            found = std::move(place);
        }
    }
    return found;
}

ERecordFileFault CheckRecordContents(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return ERecordFileFault::kUnreadable;
    }
    if (!S_ISREG(info.st_mode)) {
        return ERecordFileFault::kNotRegular;
    }
    const CFileByteSource source(fd, static_cast<uint64_t>(info.st_size));
    SWavRecordHeader header;
    switch (ParseWavRecord(source, header)) {
        case EWavParseResult::kOk:
            return ERecordFileFault::kNone;
        case EWavParseResult::kReadFailed:
            return ERecordFileFault::kUnreadable;
        default:
            return ERecordFileFault::kNoHeader;
    }
}

}  // namespace zorv
