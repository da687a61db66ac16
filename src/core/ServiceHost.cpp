#include "core/ServiceHost.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

namespace zorv {
namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

constexpr const char* kDefaultUnitDir = "/etc/systemd/system";

// The real unit directory is managed through systemctl; a directory given by
// ZORV_UNIT_DIR (tests, packaging) is only written to.
bool UsesSystemUnitDirectory() {
    const char* dir = std::getenv("ZORV_UNIT_DIR");
    return dir == nullptr || *dir == '\0';
}

void Systemctl(const std::string& verb, const std::string& unit) {
    if (!UsesSystemUnitDirectory() || ::access("/bin/systemctl", X_OK) != 0) {
        return;
    }
    const std::string command = "/bin/systemctl " + verb + " '" + unit + "' >/dev/null 2>&1";
    [[maybe_unused]] int rc = std::system(command.c_str());
}

// A path as one systemd word: quoted, with quotes and backslashes escaped.
std::string UnitWord(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

}  // namespace

CommandWord ParseCommandLine(std::string_view arguments) {
    struct Word {
        const char* text;
        CommandWord word;
    };
    static constexpr Word kWords[] = {{"UnregServer", CommandWord::kUnregServer},
                                      {"RegServer", CommandWord::kRegServer},
                                      {"Service", CommandWord::kService}};
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] != '-' && arguments[i] != '/') {
            continue;
        }
        const std::string_view rest = arguments.substr(i + 1);
        for (const Word& word : kWords) {
            if (EqualsIgnoreCase(rest, word.text)) {
                return word.word;
            }
        }
    }
    return CommandWord::kRun;
}

std::string JoinArguments(int argc, const char* const* argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            line += ' ';
        }
        line += argv[i];
    }
    return line;
}

CServiceHost::CServiceHost(const CProductNames& names, std::string registryFile,
                           std::string executablePath, IJournal& journal)
    : m_names(names),
      m_serviceName(names.Name(CProductNames::kServiceName)),
      m_executablePath(std::move(executablePath)),
      m_serverKey(registryFile, "SOFTWARE\\" + names.Name(CProductNames::kFileBaseName)),
      m_appIdKey(registryFile, std::string("AppID\\") + kAppId),
      m_journal(journal) {}

std::string CServiceHost::UnitDirectory() {
    const char* dir = std::getenv("ZORV_UNIT_DIR");
    return (dir != nullptr && *dir != '\0') ? dir : kDefaultUnitDir;
}

std::string CServiceHost::UnitPath() const {
    return UnitDirectory() + "/" + m_serviceName + ".service";
}

bool CServiceHost::IsInstalled() const {
    std::error_code error;
    return std::filesystem::exists(UnitPath(), error);
}

void CServiceHost::RemoveService() {
    const std::string unit = m_serviceName + ".service";
    Systemctl("stop", unit);
    Systemctl("disable", unit);
    std::error_code error;
    std::filesystem::remove(UnitDirectory() + "/multi-user.target.wants/" + unit, error);
    if (!std::filesystem::remove(UnitPath(), error) && error) {
        std::cerr << m_serviceName << ": Service could not be deleted\n";
    }
    Systemctl("daemon-reload", "");
}

bool CServiceHost::SetWorkDirectory() {
    const std::string directory =
        std::filesystem::path(m_executablePath).parent_path().string();
    if (!m_serverKey.Create() || !m_serverKey.SetString("WorkDirectory", directory)) {
        m_journal.WriteJournal(kJournalError, CatalogText(Msg{127}));
        return false;
    }
    return true;
}

void CServiceHost::RegisterAppId() {
    if (IsInstalled()) {
        RemoveService();
    }
    m_appIdKey.Create();
    m_appIdKey.SetString("", "zorv18server");
    m_appIdKey.DeleteValue("LocalService");
}

int CServiceHost::Register() {
    RegisterAppId();
    return SetWorkDirectory() ? 0 : 1;
}

bool CServiceHost::WriteUnit() {
    std::error_code error;
    std::filesystem::create_directories(UnitDirectory(), error);
    const std::string workDir = std::filesystem::path(m_executablePath).parent_path().string();
    std::ofstream out(UnitPath(), std::ios::trunc);
    if (!out) {
        return false;
    }
    out << "[Unit]\n"
        << "Description=" << m_serviceName << "\n"
        << "After=network.target\n\n"
        << "[Service]\n"
        << "Type=simple\n"
        << "ExecStart=" << UnitWord(m_executablePath) << "\n"
        << "WorkingDirectory=" << UnitWord(workDir) << "\n";
    if (const char* registry = std::getenv("ZORV_REGISTRY"); registry != nullptr && *registry) {
        out << "Environment=" << UnitWord(std::string("ZORV_REGISTRY=") + registry) << "\n";
    }
    out << "Restart=on-failure\n"
        << "RestartSec=500ms\n\n"
        << "[Install]\n"
        << "WantedBy=multi-user.target\n";
    out.close();
    if (!out) {
        return false;
    }
    // Automatic start: the link "systemctl enable" would make.
    const std::string wants = UnitDirectory() + "/multi-user.target.wants";
    std::filesystem::create_directories(wants, error);
    std::filesystem::create_symlink(UnitPath(), wants + "/" + m_serviceName + ".service", error);
    Systemctl("daemon-reload", "");
    return true;
}

int CServiceHost::Install() {
    RegisterAppId();
    m_appIdKey.SetString("LocalService", m_serviceName);
    m_appIdKey.SetString("ServiceParameters", "-Service");
    if (!WriteUnit()) {
        std::cerr << m_serviceName << ": Couldn't create service (" << UnitPath()
                  << " could not be written)\n";
        return 1;
    }
    return SetWorkDirectory() ? 0 : 1;
}

int CServiceHost::Unregister() {
    m_appIdKey.Remove();
    if (IsInstalled()) {
        RemoveService();
    }
    return 0;
}

void CServiceHost::BlockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int CServiceHost::Run(CMessageThread& server) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    server.Start();
    std::cout << "Service started" << std::endl;
    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    server.Stop();
    std::cout << "Service stopped" << std::endl;
    return 0;
}

}  // namespace zorv
