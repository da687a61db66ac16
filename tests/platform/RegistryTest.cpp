#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "platform/Registry.h"
#include "support/TempDir.h"

namespace zorv {
namespace {

using test::CTempDir;

constexpr const char* kKeyPath = "SOFTWARE\\ZORV_18";

// Sets ZORV_REGISTRY for one test and restores the previous value afterwards.
class CRegistryEnv {
public:
    explicit CRegistryEnv(const char* value) {
        if (const char* old = std::getenv("ZORV_REGISTRY")) {
            m_old = old;
        }
        if (value != nullptr) {
            ::setenv("ZORV_REGISTRY", value, 1);
        } else {
            ::unsetenv("ZORV_REGISTRY");
        }
    }
    ~CRegistryEnv() {
        if (m_old) {
            ::setenv("ZORV_REGISTRY", m_old->c_str(), 1);
        } else {
            ::unsetenv("ZORV_REGISTRY");
        }
    }

private:
    std::optional<std::string> m_old;
};

TEST(Registry, PathFromEnvironment) {
    struct PathCase {
        const char* env;  // null: unset
        const char* expected;
    };
    const PathCase cases[] = {
        {"/tmp/elsewhere/reg.ini", "/tmp/elsewhere/reg.ini"},
        {"", "/etc/zorv18server/registry.ini"},
        {nullptr, "/etc/zorv18server/registry.ini"},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.env ? c.env : "(unset)");
        CRegistryEnv env(c.env);
        EXPECT_EQ(CRegistryKey::RegistryPath("zorv18server"), c.expected);
    }
}

TEST(Registry, CreateExistsRemove) {
    CTempDir dir;
    // The file's directory does not exist yet.
    CRegistryKey key(dir.File("etc/registry.ini"), kKeyPath);
    CRegistryKey other(key.FilePath(), "AppID\\{C25D32E0}");
    EXPECT_FALSE(key.Exists());

    ASSERT_TRUE(key.Create());
    EXPECT_TRUE(key.Exists());
    EXPECT_TRUE(CRegistryKey(key.FilePath(), "software\\zorv_18").Exists());
    ASSERT_TRUE(key.Create());  // already there: still fine

    ASSERT_TRUE(other.SetString("Name", "x"));
    ASSERT_TRUE(key.SetDword("Count", 3));
    std::ifstream in(key.FilePath());
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("[SOFTWARE\\ZORV_18]\nCount=3\n"), std::string::npos) << text;

    ASSERT_TRUE(key.Remove());
    EXPECT_FALSE(key.Exists());
    EXPECT_FALSE(key.GetDword("Count").has_value());
    EXPECT_TRUE(other.Exists());
    EXPECT_TRUE(key.Remove());
}

TEST(Registry, CreateFailsWhereNoDirectoryCanBeMade) {
    CTempDir dir;
    std::ofstream(dir.File("plain")) << "not a directory";
    CRegistryKey key(dir.File("plain/registry.ini"), kKeyPath);
    EXPECT_FALSE(key.Create());
    EXPECT_FALSE(key.Exists());
}

TEST(Registry, ValuesRoundTrip) {
    CTempDir dir;
    CRegistryKey key(dir.File("registry.ini"), kKeyPath);
    ASSERT_TRUE(key.Create());

    ASSERT_TRUE(key.SetString("WorkDirectory", "/opt/zorv18"));
    ASSERT_TRUE(key.SetDword("PowerStamp", 4294967295u));
    ASSERT_TRUE(key.SetDword("Restarts", 0));
    EXPECT_EQ(key.GetString("workdirectory"), "/opt/zorv18");
    EXPECT_EQ(key.GetDword("POWERSTAMP"), 4294967295u);
    EXPECT_EQ(key.GetDword("Restarts"), 0u);
    EXPECT_EQ(key.GetString("Restarts"), "0");

    ASSERT_TRUE(key.DeleteValue("WorkDirectory"));
    EXPECT_FALSE(key.GetString("WorkDirectory").has_value());
    EXPECT_TRUE(key.DeleteValue("WorkDirectory"));
    EXPECT_FALSE(key.SetString("Bad", "two\nlines"));

    // Values of a key that was never created are simply missing.
    const CRegistryKey absent(key.FilePath(), "SOFTWARE\\Absent");
    EXPECT_FALSE(absent.GetString("WorkDirectory").has_value());
    EXPECT_FALSE(absent.GetDword("PowerStamp").has_value());
    const CRegistryKey noFile(dir.File("absent.ini"), kKeyPath);
    EXPECT_FALSE(noFile.Exists());
    EXPECT_FALSE(noFile.GetString("WorkDirectory").has_value());
}

TEST(Registry, DwordText) {
    struct DwordCase {
        const char* text;
        std::optional<uint32_t> expected;
    };
    const DwordCase cases[] = {
        {"12", 12u},
        {"12x", 12u},
        {" 7", 7u},
        {"x", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"4294967295", 4294967295u},
        {"4294967296", std::nullopt},
        {"-1", 4294967295u},
        {"-2147483648", 2147483648u},
        {"-2147483649", std::nullopt},
    };
    CTempDir dir;
    CRegistryKey key(dir.File("registry.ini"), kKeyPath);
    for (const DwordCase& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_TRUE(key.SetString("Value", std::string("\"") + c.text + "\""));
        EXPECT_EQ(key.GetDword("Value"), c.expected);
    }
    EXPECT_FALSE(key.GetDword("Absent").has_value());
}

}  // namespace
}  // namespace zorv
