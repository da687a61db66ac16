#include "platform/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/FileOps.h"
#include "platform/IniDocument.h"

namespace zorv {
namespace {

// Larger files are treated as unreadable: far above any real settings file
// (thousands of channels with dozens of keys each stay below a few MiB), and
// it bounds what a damaged or hostile file can make the process allocate.
constexpr off_t kMaxFileSize = 32 * 1024 * 1024;

// What identifies one version of a file. Writers replace the file by rename,
// which gives a new inode; an in-place rewrite changes the size or the time.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t mtimeSec = 0;
    int64_t mtimeNsec = 0;

    static FileStamp Of(const struct stat& st) {
        return FileStamp{st.st_dev, st.st_ino, st.st_size, static_cast<int64_t>(st.st_mtim.tv_sec),
                         static_cast<int64_t>(st.st_mtim.tv_nsec)};
    }
    bool operator==(const FileStamp&) const = default;
};

struct Loaded {
    enum State { Missing, Unreadable, Ok } state = Missing;
    std::shared_ptr<const CIniDocument> doc;
};

const std::shared_ptr<const CIniDocument>& EmptyDocument() {
    static const auto empty = std::make_shared<const CIniDocument>();
    return empty;
}

// Parsed files by path. A lookup costs one stat(); the file is read and parsed
// again only when its stamp changed.
class CIniCache {
public:
    Loaded Load(const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            const bool missing = errno == ENOENT || errno == ENOTDIR;
            Forget(path);
            return Loaded{missing ? Loaded::Missing : Loaded::Unreadable, EmptyDocument()};
        }
        if (!S_ISREG(st.st_mode)) {
            Forget(path);
            return Loaded{Loaded::Unreadable, EmptyDocument()};
        }
        {
            std::lock_guard lock(m_lock);
            const auto it = m_entries.find(path);
            if (it != m_entries.end() && it->second.stamp == FileStamp::Of(st)) {
                return Loaded{Loaded::Ok, it->second.doc};
            }
        }
        // Read outside the lock: other files stay readable meanwhile. Two
        // threads may both parse the same new version; either result is right.
        FileStamp stamp;
        std::string text;
        if (!ReadWhole(path, stamp, text)) {
            Forget(path);
            return Loaded{Loaded::Unreadable, EmptyDocument()};
        }
        auto doc = std::make_shared<const CIniDocument>(CIniDocument::Parse(text));
        Store(path, stamp, doc);
        return Loaded{Loaded::Ok, std::move(doc)};
    }

    void Store(const std::string& path, const FileStamp& stamp,
               std::shared_ptr<const CIniDocument> doc) {
        std::lock_guard lock(m_lock);
        m_entries[path] = Entry{stamp, std::move(doc)};
    }

    void Forget(const std::string& path) {
        std::lock_guard lock(m_lock);
        m_entries.erase(path);
    }

private:
    // Reads the file through one descriptor, so the stamp belongs to exactly
    // the bytes read.
    static bool ReadWhole(const std::string& path, FileStamp& stamp, std::string& text) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        struct stat st {};
        bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxFileSize;
        if (ok) {
            stamp = FileStamp::Of(st);
            text.resize(static_cast<std::size_t>(st.st_size));
            std::size_t done = 0;
            while (done < text.size()) {
                const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    break;
                }
                done += static_cast<std::size_t>(n);
            }
            // A file cut short while we read it: take what is there. The
            // stamp no longer matches the file, so the next read refreshes.
            text.resize(done);
        }
        ::close(fd);
        return ok;
    }

    struct Entry {
        FileStamp stamp;
        std::shared_ptr<const CIniDocument> doc;
    };

    std::mutex m_lock;
    // Guarded by m_lock
    std::unordered_map<std::string, Entry> m_entries;
};

CIniCache& Cache() {
    static CIniCache cache;
    return cache;
}

// Held by every writer for the whole read-edit-rename cycle, so that two
// writers of one file never lose each other's keys.
std::mutex& WriteLock() {
    static std::mutex lock;
    return lock;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Replaces the file at path with bytes: a temporary file in the same directory
// is written, synced and renamed over it, so a reader (or a crash) sees either
// the old or the new file, never part of one. A symbolic link is followed, so
// the link stays and its target is replaced. On success stamp is the new file's.
bool ReplaceFile(const std::string& path, std::string_view bytes, IniAccess access,
                 FileStamp& stamp) {
    std::string target = path;
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            return false;
        }
        target = resolved;
        std::free(resolved);
    }
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;

    // The temporary file must be in the target's directory for rename to
    // replace the target atomically.
    const std::size_t slash = target.rfind('/');
    const std::size_t baseStart = slash == std::string::npos ? 0 : slash + 1;
    std::string temp = target.substr(0, baseStart) + "." + target.substr(baseStart) + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        return false;
    }
    // The new file keeps the old one's permissions and, where allowed, owner;
    // a new file is for the service's user and group, or its user alone.
    const bool owner = access == IniAccess::kOwner;
    mode_t mode = owner ? kSecretFileMode : kDataFileMode;
    if (exists) {
        mode = old.st_mode & (owner ? 07700 : 07777);
    }
    bool ok = ::fchmod(fd, mode) == 0;
    if (ok && exists) {
        [[maybe_unused]] int ignored = ::fchown(fd, old.st_uid, old.st_gid);
    }
    ok = ok && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    struct stat st {};
    ok = ok && ::fstat(fd, &st) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    stamp = FileStamp::Of(st);
    return true;
}

// Runs edit on the current contents and writes the result back. edit returns
// false when it changed nothing; the file is then left alone.
bool Modify(const std::string& path, IniAccess access,
            const std::function<bool(CIniDocument&)>& edit) {
    std::lock_guard writer(WriteLock());
    Loaded loaded = Cache().Load(path);
    if (loaded.state == Loaded::Unreadable) {
        // Never replace a file we could not read: its keys would be lost.
        return false;
    }
    auto doc = std::make_shared<CIniDocument>(*loaded.doc);
    if (!edit(*doc)) {
        return true;
    }
    FileStamp stamp;
    if (!ReplaceFile(path, doc->Serialize(), access, stamp)) {
        return false;
    }
    Cache().Store(path, stamp, std::move(doc));
    return true;
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

bool HasOuterBlank(std::string_view s) {
    auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
    };
    return !s.empty() && (blank(s.front()) || blank(s.back()));
}

// Names that would not read back as the same section: empty, split over lines,
// or with blanks that reading trims away.
bool IsWritableSection(std::string_view section) {
    return !section.empty() && !HasLineBreak(section) && !HasOuterBlank(section);
}

// Key names must also not read back as another kind of line ('[' starts a
// section, ';' and '#' a comment) nor end early at an '='.
bool IsWritableKey(std::string_view key) {
    return !key.empty() && !HasLineBreak(key) && !HasOuterBlank(key) &&
           key.find_first_of("=[") == std::string_view::npos && key.front() != ';' &&
           key.front() != '#';
}

// A value with a line break would end its line early and let the rest read as
// another key or section, so such writes are refused rather than stored.
bool IsWritableValue(std::string_view value) {
    return !HasLineBreak(value);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

IniFile::IniFile(std::string path, IniAccess access) : m_path(std::move(path)), m_access(access) {}

bool IniFile::RestrictAccess() const {
    if (m_access != IniAccess::kOwner) {
        return true;
    }
    struct stat st {};
    if (::stat(m_path.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    if ((st.st_mode & 077) == 0) {
        return true;
    }
    // A change of mode leaves the inode, size and time the cache checks.
    return ::chmod(m_path.c_str(), st.st_mode & 07700) == 0;
}

std::optional<std::string> IniFile::Find(std::string_view section, std::string_view key) const {
    const Loaded loaded = Cache().Load(m_path);
    const std::string* value = loaded.doc->Find(section, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    return *value;
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view defaultValue, std::size_t bufferSize) const {
    const Loaded loaded = Cache().Load(m_path);
    const std::string* value = loaded.doc->Find(section, key);
    const std::string_view text = value != nullptr ? std::string_view(*value) : defaultValue;
    // The caller's buffer also holds the terminating zero.
    const std::size_t room = bufferSize == 0 ? 0 : bufferSize - 1;
    return std::string(text.substr(0, room));
}

int64_t IniFile::GetInt(std::string_view section, std::string_view key,
                        int64_t defaultValue) const {
    const Loaded loaded = Cache().Load(m_path);
    const std::string* value = loaded.doc->Find(section, key);
    return value != nullptr ? ParseLeadingInt(*value) : defaultValue;
}

bool IniFile::GetStruct(std::string_view section, std::string_view key, void* data,
                        std::size_t size) const {
    const Loaded loaded = Cache().Load(m_path);
    const std::string* value = loaded.doc->Find(section, key);
    return value != nullptr && DecodeStruct(*value, data, size);
}

bool IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    if (!IsWritableSection(section) || !IsWritableKey(key) || !IsWritableValue(value)) {
        return false;
    }
    return Modify(m_path, m_access, [&](CIniDocument& doc) {
        const std::string* current = doc.Find(section, key);
        // Skip the rewrite when the line would read back the same anyway.
        if (current != nullptr && *current == value) {
            return false;
        }
        doc.Set(section, key, value);
        return true;
    });
}

bool IniFile::WriteMany(const std::vector<IniWrite>& writes) {
    // Every key is checked before the file is touched, so a refused one
    // leaves the file exactly as it was.
    for (const IniWrite& w : writes) {
        if (!IsWritableSection(w.section) || !IsWritableKey(w.key) || !IsWritableValue(w.value)) {
            return false;
        }
    }
    return Modify(m_path, m_access, [&](CIniDocument& doc) {
        bool changed = false;
        // In order, so that of two writes of one key the later one counts.
        for (const IniWrite& w : writes) {
            const std::string* current = doc.Find(w.section, w.key);
            if (current == nullptr || *current != w.value) {
                doc.Set(w.section, w.key, w.value);
                changed = true;
            }
        }
        return changed;
    });
}

bool IniFile::WriteUint(std::string_view section, std::string_view key, uint32_t value) {
    return WriteString(section, key, std::to_string(value));
}

bool IniFile::WriteInt(std::string_view section, std::string_view key, int64_t value) {
    return WriteString(section, key, std::to_string(value));
}

bool IniFile::WriteStruct(std::string_view section, std::string_view key, const void* data,
                          std::size_t size) {
    return WriteString(section, key, EncodeStruct(data, size));
}

bool IniFile::DeleteKey(std::string_view section, std::string_view key) {
    return Modify(m_path, m_access, [&](CIniDocument& doc) { return doc.RemoveKey(section, key); });
}

bool IniFile::DeleteSection(std::string_view section) {
    return Modify(m_path, m_access, [&](CIniDocument& doc) { return doc.RemoveSection(section); });
}

bool IniFile::EnsureSection(std::string_view section) {
    if (!IsWritableSection(section)) {
        return false;
    }
    return Modify(m_path, m_access, [&](CIniDocument& doc) { return doc.AddSection(section); });
}

bool IniFile::HasSection(std::string_view section) const {
    return Cache().Load(m_path).doc->HasSection(section);
}

std::vector<std::string> IniFile::Keys(std::string_view section) const {
    return Cache().Load(m_path).doc->Keys(section);
}

std::vector<std::string> IniFile::Sections() const {
    return Cache().Load(m_path).doc->Sections();
}

std::string IniFile::EncodeStruct(const void* data, std::size_t size) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string text;
    text.reserve(2 * (size + 1));
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kHex[bytes[i] >> 4]);
        text.push_back(kHex[bytes[i] & 0x0F]);
        sum += bytes[i];
    }
    text.push_back(kHex[(sum >> 4) & 0x0F]);
    text.push_back(kHex[sum & 0x0F]);
    return text;
}

bool IniFile::DecodeStruct(std::string_view text, void* data, std::size_t size) {
    if (size > (std::numeric_limits<std::size_t>::max() / 2) - 1 || text.size() != 2 * (size + 1)) {
        return false;
    }
    // Decode into a scratch buffer first: the caller's data changes only when
    // the whole value is good.
    std::string bytes(size + 1, '\0');
    for (std::size_t i = 0; i <= size; ++i) {
        const int high = HexDigit(text[2 * i]);
        const int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes[i] = static_cast<char>(high * 16 + low);
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        sum += static_cast<unsigned char>(bytes[i]);
    }
    if ((sum & 0xFF) != static_cast<unsigned char>(bytes[size])) {
        return false;
    }
    if (size > 0) {
        std::memcpy(data, bytes.data(), size);
    }
    return true;
}

int64_t IniFile::ParseLeadingInt(std::string_view value) {
    std::size_t i = 0;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    // Accumulate the magnitude as unsigned and clamp: a number beyond the
    // int64 range reads as INT64_MAX or INT64_MIN rather than wrapping.
    constexpr uint64_t kMaxPositive = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const uint64_t limit = negative ? kMaxPositive + 1 : kMaxPositive;
    uint64_t magnitude = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        const auto digit = static_cast<uint64_t>(value[i] - '0');
        if (magnitude > (limit - digit) / 10) {
            magnitude = limit;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (!negative) {
        return static_cast<int64_t>(magnitude);
    }
    return magnitude == kMaxPositive + 1 ? std::numeric_limits<int64_t>::min()
                                         : -static_cast<int64_t>(magnitude);
}

}  // namespace zorv
