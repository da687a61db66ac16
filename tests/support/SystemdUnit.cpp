#include "support/SystemdUnit.h"

#include <filesystem>
#include <fstream>

#include "support/Files.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

std::string ShellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

struct Run {
    int status = -1;
    std::string output;
};

Run RunVerify(const std::string& path) {
    const std::string output =
        RunShell("systemd-analyze verify -- " + ShellQuoted(path) + " 2>&1; echo \"status=$?\"");
    Run run;
    const std::size_t at = output.rfind("status=");
    if (at != std::string::npos) {
        run.status = std::stoi(output.substr(at + 7));
        run.output = output.substr(0, at);
    }
    return run;
}

}  // namespace

UnitVerification VerifyUnit(const std::string& path) {
    UnitVerification verification;
    const Run run = RunVerify(path);
    verification.output = run.output;
    if (run.status == 127) {
        verification.output += "systemd-analyze is missing: scripts/setup installs it (systemd)";
        return verification;
    }
    const std::string name = std::filesystem::path(path).filename().string();
    if (run.status == 0 && run.output.find(name) == std::string::npos) {
        verification.result = UnitVerification::Result::kPassed;
        return verification;
    }
    // Tell a rejected unit from an environment where verify cannot work.
    const CTempDir probeDir;
    const std::string probe = probeDir.File("zorv-probe.service");
    std::ofstream(probe) << "[Unit]\nDescription=probe\n\n[Service]\nExecStart=/bin/true\n";
    const Run probeRun = RunVerify(probe);
    if (probeRun.status != 0) {
        verification.result = UnitVerification::Result::kCannotRun;
        verification.output = probeRun.output;
    }
    return verification;
}

}  // namespace zorv::test
