#include "core/ServiceHost.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <system_error>
#include <vector>

#include "core/LocalBusNames.h"
#include "platform/FileLock.h"
#include "platform/FileOps.h"

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
// Where the system bus reads the policy files of services.
constexpr const char* kDefaultBusPolicyDir = "/etc/dbus-1/system.d";

// The real unit directory is managed through systemctl; a directory given by
// ZORV_UNIT_DIR (tests, packaging) is only written to.
bool UsesSystemUnitDirectory() {
    const char* dir = std::getenv("ZORV_UNIT_DIR");
    return dir == nullptr || *dir == '\0';
}

// A system program -Service and -UnregServer call, or empty for none: the
// program named by the variable override (tests, packaging); else the real
// one, and only when the real unit directory is used, so that tests never
// manage units or make groups on the machine.
std::string SystemProgram(const char* override, const char* real) {
    if (const char* program = std::getenv(override); program != nullptr && *program) {
        return program;
    }
    if (!UsesSystemUnitDirectory() || ::access(real, X_OK) != 0) {
        return {};
    }
    return real;
}

std::string SystemctlProgram() {
    return SystemProgram("ZORV_SYSTEMCTL", "/bin/systemctl");
}

std::string GroupaddProgram() {
    return SystemProgram("ZORV_GROUPADD", "/usr/sbin/groupadd");
}

// Runs program with the arguments (no shell), its output thrown away. The
// exit status, or -1 when it could not run or ended by a signal.
int RunProgram(const std::string& program, std::vector<std::string> args) {
    std::vector<char*> argv;
    std::string arg0 = program;
    argv.push_back(arg0.data());
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // The server blocks its stop signals; systemctl must not inherit that.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    int result = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ) == 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return result;
}

// Runs systemctl with the verb and, when given, the unit as its arguments
// (no empty argument: "daemon-reload" takes none). Its result is not
// needed: a unit that is not loaded cannot be stopped, which is fine.
void Systemctl(const std::string& verb, const std::string& unit = {}) {
    const std::string program = SystemctlProgram();
    if (program.empty()) {
        return;
    }
    std::vector<std::string> args{verb};
    if (!unit.empty()) {
        args.push_back(unit);
    }
    RunProgram(program, std::move(args));
}

// A name groupadd takes and a unit's Group= and the bus policy can carry:
// a lower-case letter or "_" first, then letters, digits, "_" or "-", at
// most 32 in all.
bool GroupNameAllowed(const std::string& name) {
    if (name.empty() || name.size() > 32 ||
        !((name[0] >= 'a' && name[0] <= 'z') || name[0] == '_')) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

// Unit files expand "%" specifiers in every value: a literal "%" is "%%".
std::string EscapeSpecifiers(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%') {
            out += '%';
        }
    }
    return out;
}

// A value of ExecStart= or Environment= as one quoted word (the path may
// hold blanks). UnitPathAllowed keeps quotes and backslashes out.
std::string QuotedWord(const std::string& text) {
    return "\"" + EscapeSpecifiers(text) + "\"";
}

// A path that a unit file can carry and systemd accepts: absolute, without
// control characters, quotes or backslashes (systemd refuses them in an
// executable's name, and a backslash at the end would continue the line),
// not ending in a blank (values are trimmed).
bool UnitPathAllowed(const std::string& path) {
    if (path.empty() || path.front() != '/' || path.back() == ' ') {
        return false;
    }
    return std::none_of(path.begin(), path.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F || c == '"' || c == '\'' || c == '\\';
    });
}

}  // namespace

namespace {

// "WORD NAME" (one blank): the name, or nullopt when rest is not that.
std::optional<std::string_view> NameAfterWord(std::string_view rest, std::string_view word) {
    if (rest.size() < word.size() + 2 || !EqualsIgnoreCase(rest.substr(0, word.size()), word) ||
        rest[word.size()] != ' ') {
        return std::nullopt;
    }
    const std::string_view name = rest.substr(word.size() + 1);
    if (name.empty() || name.front() == '-' || name.front() == '/' || name.front() == ' ') {
        return std::nullopt;
    }
    return name;
}

}  // namespace

CommandLine ParseCommand(std::string_view arguments) {
    struct Word {
        const char* text;
        CommandWord word;
    };
    static constexpr Word kWords[] = {{"UnregServer", CommandWord::kUnregServer},
                                      {"RegServer", CommandWord::kRegServer},
                                      {"Service", CommandWord::kService},
                                      {"ListUsers", CommandWord::kListUsers}};
    constexpr std::string_view kOperatorWord = "Operator";
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] != '-' && arguments[i] != '/') {
            continue;
        }
        const std::string_view rest = arguments.substr(i + 1);
        for (const Word& word : kWords) {
            if (EqualsIgnoreCase(rest, word.text)) {
                return {word.word, {}};
            }
        }
        if (const auto name = NameAfterWord(rest, "DeleteUser")) {
            return {CommandWord::kDeleteUser, std::string(*name)};
        }
        if (auto name = NameAfterWord(rest, "AddUser")) {
            // " -Operator" (or "/Operator") at the end makes an operator.
            const size_t tail = kOperatorWord.size() + 2;
            if (name->size() > tail) {
                const std::string_view end = name->substr(name->size() - tail);
                if (end[0] == ' ' && (end[1] == '-' || end[1] == '/') &&
                    EqualsIgnoreCase(end.substr(2), kOperatorWord)) {
                    return {CommandWord::kAddOperator,
                            std::string(name->substr(0, name->size() - tail))};
                }
            }
            return {CommandWord::kAddUser, std::string(*name)};
        }
    }
    return {};
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
                           std::string executablePath, IJournal& journal,
                           std::vector<std::string> busReads)
    : m_serviceName(names.Name(CProductNames::kServiceName)),
      m_group(names.ServiceGroup()),
      m_busReads(std::move(busReads)),
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
    std::filesystem::remove(BusPolicyPath(), error);
    Systemctl("daemon-reload");
}

bool CServiceHost::SetWorkDirectory() {
    const std::string directory = std::filesystem::path(m_executablePath).parent_path().string();
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

bool CServiceHost::EnsureGroup() {
    if (!GroupNameAllowed(m_group)) {
        std::cerr << m_serviceName << ": Couldn't create service (\"" << m_group
                  << "\" cannot be a group name)\n";
        return false;
    }
    if (::getgrnam(m_group.c_str()) != nullptr) {
        return true;
    }
    // Without a program to call (a unit directory given for packaging), the
    // package makes the group.
    const std::string program = GroupaddProgram();
    if (program.empty()) {
        return true;
    }
    const int status = RunProgram(program, {"--system", m_group});
    if (status != 0) {
        std::cerr << m_serviceName << ": Couldn't create service (the group \"" << m_group
                  << "\" could not be made: " << program << " ended with " << status << ")\n";
        return false;
    }
    return true;
}

bool CServiceHost::WriteUnit() {
    const std::string workDir = std::filesystem::path(m_executablePath).parent_path().string();
    std::string registry;
    if (const char* value = std::getenv("ZORV_REGISTRY"); value != nullptr && *value) {
        // The service does not start in the installer's directory.
        std::error_code error;
        registry = std::filesystem::absolute(value, error).lexically_normal().string();
    }
    for (const std::string& path : {m_executablePath, workDir, registry}) {
        if (!path.empty() && !UnitPathAllowed(path)) {
            std::cerr << m_serviceName << ": Couldn't create service (\"" << path
                      << "\" cannot be named in a unit file: it must be absolute, without "
                         "quotes, backslashes or control characters)\n";
            return false;
        }
    }
    // StartLimitIntervalSec=0: a server that fails again and again at start
    // is restarted for ever, never left dead by the start rate limit; but one
    // that found another server in its work directory is not restarted.
    // WorkingDirectory= takes the path as it stands, without quotes. Group=
    // and UMask=: what the server makes belongs to the service's group and
    // is closed to others.
    std::ostringstream out;
    out << "[Unit]\n"
        << "Description=" << EscapeSpecifiers(m_serviceName) << "\n"
        << "After=network.target\n"
        << "StartLimitIntervalSec=0\n\n"
        << "[Service]\n"
        << "Type=simple\n"
        << "ExecStart=" << QuotedWord(m_executablePath) << "\n"
        << "WorkingDirectory=" << EscapeSpecifiers(workDir) << "\n"
        << "Group=" << m_group << "\n"
        << "UMask=0027\n";
    if (!registry.empty()) {
        out << "Environment=" << QuotedWord("ZORV_REGISTRY=" + registry) << "\n";
    }
    out << "Restart=on-failure\n"
        << "RestartSec=500ms\n"
        << "RestartPreventExitStatus=" << kExitAnotherServer << "\n\n"
        << "[Install]\n"
        << "WantedBy=multi-user.target\n";
    std::error_code error;
    std::filesystem::create_directories(UnitDirectory(), error);
    if (!WriteFile(UnitPath(), out.str(), kSystemFileMode, FileWrite::kReplace)) {
        std::cerr << m_serviceName << ": Couldn't create service (" << UnitPath()
                  << " could not be written)\n";
        return false;
    }
    // Automatic start: the link "systemctl enable" would make.
    const std::string wants = UnitDirectory() + "/multi-user.target.wants";
    std::filesystem::create_directories(wants, error);
    std::filesystem::create_symlink(UnitPath(), wants + "/" + m_serviceName + ".service", error);
    Systemctl("daemon-reload");
    return true;
}

std::string CServiceHost::BusPolicyPath() {
    const char* dir = std::getenv("ZORV_DBUS_POLICY_DIR");
    return std::string((dir != nullptr && *dir != '\0') ? dir : kDefaultBusPolicyDir) + "/" +
           kLocalBusName + ".conf";
}

bool CServiceHost::WriteBusPolicy() {
    // The service (root) owns the local interface's name. Root and the
    // service's group may call every method of both objects (the
    // interface's Authorization then decides what a change may do); every
    // other account only the pure reads and introspection. The policy
    // closes the name itself, so it holds on a bus whose default is open.
    const std::string destination = std::string("send_destination=\"") + kLocalBusName + "\"";
    std::ostringstream out;
    out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
        << " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        << "<busconfig>\n"
        << "  <policy user=\"root\">\n"
        << "    <allow own=\"" << kLocalBusName << "\"/>\n"
        << "    <allow " << destination << "/>\n"
        << "  </policy>\n"
        << "  <policy group=\"" << m_group << "\">\n"
        << "    <allow " << destination << "/>\n"
        << "  </policy>\n"
        << "  <policy context=\"default\">\n"
        << "    <deny " << destination << " send_type=\"method_call\"/>\n"
        << "    <allow " << destination
        << " send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n";
    for (const std::string& method : m_busReads) {
        out << "    <allow " << destination << " send_path=\"" << kLocalObjectPath
            << "\" send_interface=\"" << kLocalInterfaceName << "\" send_member=\"" << method
            << "\"/>\n";
    }
    out << "  </policy>\n"
        << "</busconfig>\n";
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(BusPolicyPath()).parent_path(),
                                        error);
    // Readable by all: the system bus reads it again as its own user when
    // its configuration is reloaded.
    if (!WriteFile(BusPolicyPath(), out.str(), kSystemFileMode, FileWrite::kReplace)) {
        std::cerr << m_serviceName << ": D-Bus policy " << BusPolicyPath()
                  << " could not be written\n";
        return false;
    }
    return true;
}

int CServiceHost::Install() {
    RegisterAppId();
    m_appIdKey.SetString("LocalService", m_serviceName);
    m_appIdKey.SetString("ServiceParameters", "-Service");
    if (!EnsureGroup() || !WriteUnit() || !WriteBusPolicy()) {
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

std::string CServiceHost::LockPath(const std::string& workDir) const {
    return workDir + "/" + m_serviceName + ".lock";
}

void CServiceHost::BlockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int CServiceHost::Run(CMessageThread& server, const std::string& workDir) {
    // Held until the process ends: the server object outlives this call and
    // still closes the record database and the journal.
    static CFileLock lock;
    const std::string lockPath = LockPath(workDir);
    switch (lock.Take(lockPath, kDataFileMode)) {
        case CFileLock::Result::kTaken:
            break;
        case CFileLock::Result::kHeld: {
            const std::string holder =
                lock.Holder() > 0 ? " (process " + std::to_string(lock.Holder()) + ")" : "";
            std::cerr << m_serviceName << ": another server runs in the work directory " << workDir
                      << holder << "; this one does not start (" << lockPath << ")" << std::endl;
            m_journal.FormatJournal(kJournalError,
                                    "Another server runs in this work directory%s: this one "
                                    "does not start",
                                    holder);
            return kExitAnotherServer;
        }
        case CFileLock::Result::kFailed: {
            const std::string reason = std::strerror(errno);
            std::cerr << m_serviceName << ": the lock file " << lockPath
                      << " cannot be made: " << reason << std::endl;
            m_journal.FormatJournal(kJournalError,
                                    "The lock file of the work directory cannot be made (%s): "
                                    "the server does not start",
                                    reason);
            return 1;
        }
    }

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
