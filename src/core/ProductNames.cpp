#include "core/ProductNames.h"

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

namespace zorv {
namespace {

// clang-format off
constexpr const char* kSuffixes[CProductNames::kCount] = {
    ".ini",          "_6.ini",          "_18.ini",          "_BRI.ini",          "_E1.ini",
    ".log",          "_6.log",          "_18.log",          "_BRI.log",          "_E1.log",
    "Users.dat",     "_6Users.dat",     "_18Users.dat",     "_BRIUsers.dat",     "_E1Users.dat",
    "Operator.dat",  "_6Operator.dat",  "_18Operator.dat",  "_BRIOperator.dat",  "_E1Operator.dat",
    "",              "-6",              "-18",              "-BRI",              "-E1",
    "Server",        "6Server",         "18Server",         "BRIServer",         "E1Server",
    "",              "_6",              "_18",              "_BRI",              "_E1",
    "DBServer",      "BackUp",          "6BackUp",          "18BackUp",          "BRIBackUp",
    "E1BackUp",      ".dbf",
};
// clang-format on

constexpr std::streamoff kBrandingBlock = 1504;
constexpr std::streamoff kPrefixOffset = 10;
constexpr size_t kPrefixMax = 16;

}  // namespace

CProductNames::CProductNames(std::string prefix) : m_prefix(std::move(prefix)) {
    if (m_prefix.empty()) {
        m_prefix = kDefaultPrefix;
    }
}

std::string CProductNames::Name(int index) const {
    if (index < 0 || index >= kCount) {
        return "";
    }
    return m_prefix + kSuffixes[index];
}

std::string CProductNames::ServiceGroup() const {
    std::string name = Name(kServiceName);
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return name;
}

std::string CProductNames::ReadPrefix(const std::string& brandingFile) {
    std::ifstream in(brandingFile, std::ios::binary);
    if (!in) {
        return kDefaultPrefix;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < kBrandingBlock) {
        return kDefaultPrefix;
    }
    char text[kPrefixMax] = {};
    in.seekg(size - kBrandingBlock + kPrefixOffset);
    if (!in.read(text, kPrefixMax)) {
        return kDefaultPrefix;
    }
    const std::string prefix(text, strnlen(text, kPrefixMax));
    return prefix.empty() ? kDefaultPrefix : prefix;
}

const CProductNames& CProductNames::Instance() {
    static const CProductNames names(ReadPrefix(ExecutableDirectory() + "/sdata.skn"));
    return names;
}

std::string ExecutablePath() {
    std::vector<char> buffer(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) {
        return "";
    }
    return std::string(buffer.data(), static_cast<size_t>(n));
}

std::string ExecutableDirectory() {
    const std::string path = ExecutablePath();
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace zorv
