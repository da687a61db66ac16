// The modes of files as "ls -l" shows them ("-rw-r-----", "drwxr-x---"), and
// a umask set for one scope (a test that shows a mode does not come from the
// umask sets a wide one).
#pragma once

#include <sys/stat.h>

#include <string>

namespace zorv::test {

// The type and permission letters of path (not following a last link), or
// "missing".
inline std::string ModeText(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return "missing";
    }
    std::string text = S_ISDIR(st.st_mode) ? "d" : S_ISLNK(st.st_mode) ? "l" : "-";
    const char letters[] = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) {
        text += (st.st_mode & (0400 >> bit)) != 0 ? letters[bit] : '-';
    }
    return text;
}

class CUmaskScope {
public:
    explicit CUmaskScope(mode_t mask) : m_old(::umask(mask)) {}
    ~CUmaskScope() { ::umask(m_old); }
    CUmaskScope(const CUmaskScope&) = delete;
    CUmaskScope& operator=(const CUmaskScope&) = delete;

private:
    mode_t m_old;
};

}  // namespace zorv::test
