// A program started by a test (the server executable, a simulator), with its
// own working directory, extra environment and output files. The destructor
// kills it if it still runs.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zorv::test {

class CChildProcess {
public:
    // Starts program with args in directory cwd; env entries ("NAME=value")
    // are added to the test's environment. Output goes to cwd/<name>.out and
    // cwd/<name>.err where name is the program's file name. With input, the
    // child's standard input is a pipe that holds those bytes and then ends
    // (at most a pipe's capacity, 64 KiB); without, it inherits the test's.
    CChildProcess(const std::string& program, const std::vector<std::string>& args,
                  const std::string& cwd, const std::vector<std::string>& env,
                  const std::optional<std::string>& input = std::nullopt);
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool Running() const { return m_pid > 0 && !m_status; }
    pid_t Pid() const { return m_pid; }
    void Signal(int signal);
    // The exit status (WEXITSTATUS, or 128 + signal) once it has ended within
    // timeout, else nullopt.
    std::optional<int> Wait(std::chrono::milliseconds timeout);

    std::string Stdout() const;
    std::string Stderr() const;

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
    std::string m_outPath;
    std::string m_errPath;
};

// The path of a program built into the build's bin directory.
std::string BuiltProgram(const std::string& name);

// Polls pred every 10 ms until it holds or timeout passes.
template <typename Pred>
bool PollUntil(Pred pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        struct timespec ts {0, 10'000'000};
        nanosleep(&ts, nullptr);
    }
    return true;
}

}  // namespace zorv::test
