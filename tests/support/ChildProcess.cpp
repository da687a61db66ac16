#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

extern char** environ;

namespace zorv::test {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

CChildProcess::CChildProcess(const std::string& program, const std::vector<std::string>& args,
                             const std::string& cwd, const std::vector<std::string>& env,
                             const std::optional<std::string>& input) {
    const std::string name = program.substr(program.rfind('/') + 1);
    m_outPath = cwd + "/" + name + ".out";
    m_errPath = cwd + "/" + name + ".err";

    // Everything the child needs is prepared before the fork: after it only
    // async-signal-safe calls are made.
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        envStrings.emplace_back(*e);
    }
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : envStrings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    const int out = ::open(m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open(m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    // The input is written whole before the child starts, and the pipe's
    // writing end closed, so the child reads it and then its end.
    int in = -1;
    if (input) {
        int fds[2];
        if (input->size() <= 65536 && ::pipe2(fds, O_CLOEXEC) == 0) {
            const ssize_t written = ::write(fds[1], input->data(), input->size());
            ::close(fds[1]);
            in = fds[0];
            if (written != static_cast<ssize_t>(input->size())) {
                ::close(in);
                in = -1;
            }
        }
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        // The test process may block signals in its threads; the child starts clean.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (input && (in < 0 || ::dup2(in, 0) != 0)) {
            _exit(125);
        }
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (::chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        ::execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    ::close(out);
    ::close(err);
    if (in >= 0) {
        ::close(in);
    }
}

CChildProcess::~CChildProcess() {
    if (Running()) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

void CChildProcess::Signal(int signal) {
    if (Running()) {
        ::kill(m_pid, signal);
    }
}

std::optional<int> CChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (m_status || m_pid <= 0) {
        return m_status;
    }
    PollUntil(
        [&] {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            return m_status.has_value();
        },
        timeout);
    return m_status;
}

std::string CChildProcess::Stdout() const { return ReadAll(m_outPath); }
std::string CChildProcess::Stderr() const { return ReadAll(m_errPath); }

std::string BuiltProgram(const std::string& name) { return std::string(ZORV_BIN_DIR) + "/" + name; }

}  // namespace zorv::test
