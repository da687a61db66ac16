#include "platform/SystemDirectories.h"

#include <pwd.h>
#include <unistd.h>

#include "platform/FileOps.h"

namespace zorv {
namespace {

// Whether inner is outer or lies below it (both resolved).
bool Within(const std::string& inner, const std::string& outer) {
    if (outer == "/") {
        return true;
    }
    return inner.compare(0, outer.size(), outer) == 0 &&
           (inner.size() == outer.size() || inner[outer.size()] == '/');
}

std::string RootHome() {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::string buffer(16384, '\0');
    if (::getpwuid_r(0, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return "/root";
}

}  // namespace

std::vector<std::string> SystemDirectories() {
    return {"/",     "/etc",  "/usr", "/bin", "/sbin", "/lib",    "/lib64",
            "/boot", "/proc", "/sys", "/dev", "/run",  RootHome()};
}

std::string SystemDirectoryOf(const std::string& path) {
    return SystemDirectoryOf(path, SystemDirectories());
}

std::string SystemDirectoryOf(const std::string& path, const std::vector<std::string>& system) {
    if (path.empty()) {
        return {};
    }
    std::string candidate = ResolvePath(path);
    if (candidate.empty()) {
        candidate = "/";  // what cannot be resolved is not trusted
    }
    for (const std::string& named : system) {
        for (const std::string& form : {ResolvePath(named), named}) {
            if (form.empty() || form.front() != '/') {
                continue;
            }
            // "/" holds every path: only "/" itself is refused for it.
            const bool root = form == "/";
            if (candidate == form ||
                (!root && (Within(candidate, form) || Within(form, candidate)))) {
                return named;
            }
        }
    }
    return {};
}

}  // namespace zorv
