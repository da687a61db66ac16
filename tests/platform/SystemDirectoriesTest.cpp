// A record directory may not be, hold or lie in a system directory, compared
// after links and ".." are resolved.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/SystemDirectories.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

TEST(SystemDirectoriesTest, PathsAreComparedResolved) {
    CTempDir dir;
    // A list of the test's own: "system" and "sys2" under the temporary directory.
    const std::string system = dir.File("system");
    std::filesystem::create_directories(system + "/inner");
    std::filesystem::create_directories(dir.File("plain"));
    std::filesystem::create_directory_symlink(system, dir.File("link"));
    const std::vector<std::string> list = {"/", system, dir.File("sys2")};
    const struct {
        const char* what;
        std::string path;
        std::string found;
    } cases[] = {
        {"the root", "/", "/"},
        {"a system directory", system, system},
        {"with a trailing /", system + "/", system},
        {"inside one", system + "/inner", system},
        {"inside one, not there yet", system + "/new/deeper", system},
        {"holding one", dir.Path(), system},
        {"through ..", dir.File("plain/../system/x"), system},
        {"through a link", dir.File("link"), system},
        {"below a link", dir.File("link/x"), system},
        {"a system directory that does not exist", dir.File("sys2/x"), dir.File("sys2")},
        {"a neighbour", system + "x", ""},
        {"a plain directory", dir.File("plain"), ""},
        {"below the root only", dir.File("plain/x"), ""},
        {"no path", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SystemDirectoryOf(c.path, list), c.found) << c.what;
    }
}

TEST(SystemDirectoriesTest, TheSystemList) {
    const std::vector<std::string> list = SystemDirectories();
    for (const char* named : {"/", "/etc", "/usr", "/bin", "/sbin", "/lib", "/lib64", "/boot",
                              "/proc", "/sys", "/dev", "/run"}) {
        EXPECT_NE(std::find(list.begin(), list.end(), named), list.end()) << named;
    }
    const struct {
        std::string path;
        std::string found;
    } cases[] = {
        {"/", "/"},
        {"/etc/x", "/etc"},
        {"/usr/local/rec", "/usr"},
        {"/dev/shm", "/dev"},
        {"/run/zorv18", "/run"},
        {"/srv/../boot", "/boot"},
        {"/srv/records", ""},
        {"/var/lib/zorv18/DvrFiles", ""},
        {"/tmp/x", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SystemDirectoryOf(c.path), c.found) << c.path;
    }
    EXPECT_FALSE(SystemDirectoryOf(list.back() + "/records").empty()) << "root's home";
}

}  // namespace
}  // namespace zorv::test
