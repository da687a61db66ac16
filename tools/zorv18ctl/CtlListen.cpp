#include "CtlListen.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "CtlBusLink.h"
#include "CtlCommands.h"
#include "access/LocalListenWriter.h"

extern char** environ;

namespace zorv::ctl {
namespace {

constexpr std::size_t kHeaderSize = 4;
constexpr uint8_t kFlagStereo = 1;
constexpr uint8_t kFlagLineMonitor = 2;
// Larger than any message the server sends (its largest is under 32 KiB).
constexpr std::size_t kMessageLimit = 65536;
// The largest data size of a WAV file, in whole frames of up to 4 bytes.
constexpr uint32_t kMaxDataBytes = (UINT32_MAX - 36) & ~3u;

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

void PutLe(uint8_t* at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// The listening socket under its name; removed when the receiver ends.
class CListenSocket {
public:
    ~CListenSocket() {
        if (m_connection >= 0) {
            ::close(m_connection);
        }
        if (m_fd >= 0) {
            ::close(m_fd);
            ::unlink(m_path.c_str());
        }
    }

    bool Open(const std::string& path, std::string& error) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof(address.sun_path)) {
            error = "the socket path is too long: " + path;
            return false;
        }
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = std::string("cannot create a socket: ") + std::strerror(errno);
            return false;
        }
        // A socket left by a receiver that ended without removing it is
        // replaced; one that a receiver still listens on is not.
        const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (probe >= 0 &&
            ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
            ::close(probe);
            ::close(fd);
            error = "another program listens on " + path;
            return false;
        }
        if (probe >= 0) {
            ::close(probe);
        }
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            ::unlink(path.c_str());
        }
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(fd, 2) != 0) {
            error = "cannot listen on " + path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        m_fd = fd;
        m_path = path;
        return true;
    }

    // Waits up to timeoutMs for a connection or a message. A new connection
    // replaces the current one (the server starts a link anew). Returns the
    // message length, 0 for nothing yet, -1 when a message was too long.
    ssize_t Receive(uint8_t* buffer, std::size_t size, int timeoutMs) {
        std::array<pollfd, 2> p = {pollfd{m_fd, POLLIN, 0}, pollfd{m_connection, POLLIN, 0}};
        const nfds_t count = m_connection >= 0 ? 2 : 1;
        if (::poll(p.data(), count, timeoutMs) <= 0) {
            return 0;
        }
        if ((p[0].revents & POLLIN) != 0) {
            const int accepted = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted >= 0) {
                if (m_connection >= 0) {
                    ::close(m_connection);
                }
                m_connection = accepted;
                return 0;
            }
        }
        if (count == 2 && p[1].revents != 0) {
            const ssize_t got = ::recv(m_connection, buffer, size, MSG_TRUNC);
            if (got <= 0 && !(got < 0 && errno == EINTR)) {
                ::close(m_connection);  // the link ended; a start connects again
                m_connection = -1;
                return 0;
            }
            return got > static_cast<ssize_t>(size) ? -1 : std::max<ssize_t>(got, 0);
        }
        return 0;
    }

private:
    int m_fd = -1;
    int m_connection = -1;
    std::string m_path;
};

// aplay reading a WAV stream from a pipe; its input is Fd().
class CPlayer {
public:
    ~CPlayer() { End(); }

    bool Start(std::string& error) {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            error = std::string("cannot create a pipe: ") + std::strerror(errno);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[0], STDIN_FILENO);
        char program[] = "aplay";
        char quiet[] = "-q";
        char* argv[] = {program, quiet, nullptr};
        const int rc = ::posix_spawnp(&m_pid, program, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[0]);
        if (rc != 0) {
            ::close(pipeFds[1]);
            m_pid = -1;
            error = std::string("cannot start aplay: ") + std::strerror(rc);
            return false;
        }
        m_fd = pipeFds[1];
        return true;
    }
    int Fd() const { return m_fd; }
    void End() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        if (m_pid > 0) {
            int status = 0;
            ::waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
    }

private:
    pid_t m_pid = -1;
    int m_fd = -1;
};

}  // namespace

bool CWavStream::WriteAll(const uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(m_fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool CWavStream::Begin(uint32_t rate, int channels) {
    const uint32_t blockAlign = 2 * static_cast<uint32_t>(channels);
    uint8_t header[44] = {'R', 'I', 'F', 'F', 0,   0,  0, 0, 'W', 'A', 'V',
                          'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,   1,   0};
    PutLe(header + 4, kMaxDataBytes + 36, 4);
    PutLe(header + 22, static_cast<uint32_t>(channels), 2);
    PutLe(header + 24, rate, 4);
    PutLe(header + 28, rate * blockAlign, 4);
    PutLe(header + 32, blockAlign, 2);
    PutLe(header + 34, 16, 2);
    std::memcpy(header + 36, "data", 4);
    PutLe(header + 40, kMaxDataBytes, 4);
    m_started = true;
    m_rate = rate;
    m_channels = channels;
    return WriteAll(header, sizeof(header));
}

bool CWavStream::Append(const uint8_t* audio, std::size_t length) {
    if (m_bytes + length > kMaxDataBytes) {
        return false;
    }
    m_bytes += length;
    return WriteAll(audio, length);
}

void CWavStream::Finish() {
    struct stat st {};
    if (!m_started || ::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    uint8_t size[4];
    PutLe(size, static_cast<uint32_t>(m_bytes + 36), 4);
    const bool riff = ::pwrite(m_fd, size, 4, 4) == 4;
    PutLe(size, static_cast<uint32_t>(m_bytes), 4);
    if (!riff || ::pwrite(m_fd, size, 4, 40) != 4) {
        std::cerr << "zorv18ctl: cannot put the sizes into the output\n";
    }
}

int Listen(const ListenOptions& o, IListenLink& link) {
    CListenSocket socket;
    std::string error;
    const std::string path = LocalListenSocketPath(o.runDirectory, o.port);
    if (!socket.Open(path, error)) {
        std::cerr << "zorv18ctl: " << error << "\n";
        return kCommandFailed;
    }
    CPlayer player;
    if (o.play && !player.Start(error)) {
        std::cerr << "zorv18ctl: " << error << "\n";
        return kCommandFailed;
    }
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    if (!link.Start(o.device, o.channel, o.port, error)) {
        std::cerr << "zorv18ctl: the server did not start listening: " << error << "\n";
        return kCommandFailed;
    }
    std::cerr << "zorv18ctl: listening on port " << o.port << " (" << path << ")\n";
    CWavStream wav(o.play ? player.Fd() : STDOUT_FILENO);
    std::vector<uint8_t> message(kMessageLimit);
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::seconds(o.seconds);
    int rc = 0;
    while (g_stop == 0 && (o.seconds == 0 || Clock::now() < end)) {
        const ssize_t got = socket.Receive(message.data(), message.size(), 200);
        if (got == 0) {
            continue;
        }
        // Every message is checked before its audio is taken: a header of
        // an offered rate, no unknown flag, whole frames.
        const std::size_t length = got < 0 ? 0 : static_cast<std::size_t>(got);
        const uint32_t rate = length >= kHeaderSize ? GetU16(message, 0) : 0;
        const uint8_t flags = length >= kHeaderSize ? message[2] : 0;
        const int channels = (flags & kFlagStereo) != 0 ? 2 : 1;
        const std::size_t audio = length >= kHeaderSize ? length - kHeaderSize : 0;
        if (length < kHeaderSize || message[3] != 0 || (flags & ~3u) != 0 ||
            (rate != 8000 && rate != 16000 && rate != 32000) ||
            audio % (2 * static_cast<std::size_t>(channels)) != 0) {
            std::cerr << "zorv18ctl: a malformed message of " << length << " bytes was dropped\n";
            continue;
        }
        if ((flags & kFlagLineMonitor) != 0) {
            std::cerr << "zorv18ctl: line-monitor audio arrived on this port; it is not PCM\n";
            rc = kCommandFailed;
            break;
        }
        if (!wav.Started() && !wav.Begin(rate, channels)) {
            rc = kNoConnection;
            break;
        }
        // A WAV stream keeps one format.
        if (!wav.SameFormat(rate, channels)) {
            std::cerr << "zorv18ctl: the channel changed to " << rate << " Hz, " << channels
                      << " channel(s); the stream ends\n";
            rc = kCommandFailed;
            break;
        }
        if (!wav.Append(message.data() + kHeaderSize, audio)) {
            // The reader went away (or the stream is full): done.
            break;
        }
    }
    link.Stop();
    wav.Finish();
    return rc;
}

int RunListen(const Args& args, const std::string& user) {
    ListenOptions o;
    std::string bus = "system";
    o.port = static_cast<uint16_t>(::getpid() % 60000 + 1024);
    long number = 0;
    std::size_t positional = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--play") {
            o.play = true;
        } else if (arg == "--no-start") {
            o.noStart = true;
        } else if (arg == "--port" && hasValue && ParseNumber(args[++i], 1, 65535, number)) {
            o.port = static_cast<uint16_t>(number);
        } else if (arg == "--seconds" && hasValue && ParseNumber(args[++i], 0, 1 << 30, number)) {
            o.seconds = static_cast<int>(number);
        } else if (arg == "--run-dir" && hasValue) {
            o.runDirectory = args[++i];
        } else if (arg == "--bus" && hasValue) {
            bus = args[++i];
        } else if (positional == 0 && ParseNumber(arg, 0, 99, number)) {
            o.device = static_cast<int>(number);
            ++positional;
        } else if (positional == 1 && ParseNumber(arg, 0, 255, number)) {
            o.channel = static_cast<int>(number);
            ++positional;
        } else {
            return BadUsage("listen: unexpected argument " + arg);
        }
    }
    if (positional != 2) {
        return BadUsage("listen needs DEVICE CHANNEL");
    }
    if (o.runDirectory.empty()) {
        const char* runtime = std::getenv("RUNTIME_DIRECTORY");
        std::error_code ec;
        o.runDirectory = runtime != nullptr && *runtime != '\0'
                             ? std::string(runtime).substr(0, std::string(runtime).find(':'))
                             : std::filesystem::current_path(ec).string();
    }
    if (o.noStart) {
        CServerStartedLink link;
        return Listen(o, link);
    }
    // The link is asked for through the server's local interface, with a
    // local login of the user.
    if (user.empty()) {
        return BadUsage("listen needs --user");
    }
    std::string password = ReadSecret("ZORV_PASSWORD", "Password: ");
    CBusListenLink link(bus, user, password);
    std::fill(password.begin(), password.end(), '\0');
    return Listen(o, link);
}

}  // namespace zorv::ctl
