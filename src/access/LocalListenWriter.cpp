#include "access/LocalListenWriter.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zorv {
namespace {

constexpr const char* kSocketPrefix = "AE1E45DA-B5C6-402D-B0EB-A8954F9F2744_Local_Listen_Port_";
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kLineMonitorThreshold = 300;
// How long one wait of the writer lasts before it looks at the stop flag.
constexpr int kPollMs = 100;

bool RateAllowed(uint32_t rate) {
    return rate == 8000 || rate == 16000 || rate == 32000;
}

bool KindAllowed(int kind) {
    return kind == CAudioObserver::kKindLineMonitor || kind == CAudioObserver::kKindPcm;
}

}  // namespace

std::string LocalListenSocketPath(const std::string& runDirectory, uint16_t port) {
    return runDirectory + "/" + kSocketPrefix + std::to_string(port);
}

CLocalListenWriter::CLocalListenWriter(std::string runDirectory, uint16_t port)
    : m_runDirectory(std::move(runDirectory)), m_port(port) {}

CLocalListenWriter::~CLocalListenWriter() {
    Close();
}

bool CLocalListenWriter::Open(uint32_t sampleRate, bool stereo, int kind) {
    CMutexLock lock(m_controlLock);
    CloseLocked();
    if (!RateAllowed(sampleRate) || !KindAllowed(kind)) {
        return false;
    }
    const std::string path = LocalListenSocketPath(m_runDirectory, m_port);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return false;
    }
    m_socket = fd;
    m_rate = sampleRate;
    m_stereo = stereo;
    m_kind = kind;
    if (!StartLocked()) {
        CloseLocked();
        return false;
    }
    return true;
}

void CLocalListenWriter::Close() {
    CMutexLock lock(m_controlLock);
    CloseLocked();
}

void CLocalListenWriter::CloseLocked() {
    StopLocked();
    if (m_socket >= 0) {
        ::close(m_socket);
        m_socket = -1;
    }
}

bool CLocalListenWriter::Reformat(uint32_t sampleRate, bool stereo, int kind) {
    CMutexLock lock(m_controlLock);
    StopLocked();
    if (m_socket < 0 || !RateAllowed(sampleRate) || !KindAllowed(kind)) {
        return false;
    }
    m_rate = sampleRate;
    m_stereo = stereo;
    m_kind = kind;
    return StartLocked();
}

bool CLocalListenWriter::StartLocked() {
    StopLocked();
    const std::size_t bytesPerSecond = m_stereo ? m_rate * 2 : m_rate;
    m_frame = m_kind == kKindLineMonitor ? 1 : (m_stereo ? 4 : 2);
    m_threshold = m_kind == kKindLineMonitor ? kLineMonitorThreshold : bytesPerSecond / 8;
    const std::size_t chunk = m_kind == kKindLineMonitor ? bytesPerSecond / 4 - kHeaderSize
                                                         : 2 * (bytesPerSecond / 4) - kHeaderSize;
    m_chunk = chunk / m_frame * m_frame;
    m_message.assign(kHeaderSize + m_chunk, 0);
    m_message[0] = static_cast<uint8_t>(m_rate & 0xFF);
    m_message[1] = static_cast<uint8_t>(m_rate >> 8);
    m_message[2] =
        static_cast<uint8_t>((m_stereo ? 0x01 : 0x00) | (m_kind == kKindLineMonitor ? 0x02 : 0x00));
    m_message[3] = 0;
    {
        CMutexLock ring(m_ringLock);
        // Two of the largest pieces a device pushes (a line record's buffer
        // holds a second of audio, 2 B bytes), so that a buffer always fits
        // beside what is still waiting under the threshold.
        m_ring.assign(4 * bytesPerSecond / m_frame * m_frame, 0);
        m_ringStart = 0;
        m_ringUsed = 0;
        m_ringFrame = m_frame;
        m_ringThreshold = m_threshold;
        m_accepting = true;
    }
    m_wake.TryReset();
    m_stop = false;
    try {
        m_thread = std::thread(&CLocalListenWriter::Run, this);
    } catch (const std::exception&) {
        m_stop = true;
        CMutexLock ring(m_ringLock);
        m_accepting = false;
        return false;
    }
    return true;
}

void CLocalListenWriter::StopLocked() {
    {
        CMutexLock ring(m_ringLock);
        m_accepting = false;
    }
    m_stop = true;
    m_wake.Set();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    // The buffers stay allocated until the next start: nothing writes from
    // them once the thread has ended.
}

std::size_t CLocalListenWriter::Push(const uint8_t* bytes, std::size_t length) {
    CMutexLock lock(m_ringLock);
    if (!m_accepting || bytes == nullptr) {
        return 0;
    }
    const std::size_t capacity = m_ring.size();
    std::size_t take = std::min(length, capacity - m_ringUsed);
    take -= take % m_ringFrame;  // whole samples only
    std::size_t end = (m_ringStart + m_ringUsed) % capacity;
    for (std::size_t copied = 0; copied < take;) {
        const std::size_t n = std::min(take - copied, capacity - end);
        std::memcpy(m_ring.data() + end, bytes + copied, n);
        copied += n;
        end = (end + n) % capacity;
    }
    m_ringUsed += take;
    if (m_ringUsed >= m_ringThreshold) {
        m_wake.Set();
    }
    return take;
}

void CLocalListenWriter::Run() {
    while (!m_stop) {
        // Woken when the ring holds the threshold (or to stop); the wait's
        // limit only lets it look at the stop flag.
        if (!m_wake.Wait(std::chrono::milliseconds(kPollMs))) {
            continue;
        }
        bool more = true;
        while (more && !m_stop) {
            std::size_t taken = 0;
            {
                CMutexLock lock(m_ringLock);
                const std::size_t capacity = m_ring.size();
                taken = std::min(m_ringUsed, m_chunk);
                for (std::size_t copied = 0; copied < taken;) {
                    const std::size_t n = std::min(taken - copied, capacity - m_ringStart);
                    std::memcpy(m_message.data() + kHeaderSize + copied,
                                m_ring.data() + m_ringStart, n);
                    copied += n;
                    m_ringStart = (m_ringStart + n) % capacity;
                }
                m_ringUsed -= taken;
                more = m_ringUsed >= m_ringThreshold;
            }
            if (taken == 0) {
                break;
            }
            if (!SendMessage(kHeaderSize + taken)) {
                // The local program went away: the link stays and drops
                // the audio until it is stopped or replaced.
                CMutexLock lock(m_ringLock);
                m_accepting = false;
                return;
            }
        }
    }
}

bool CLocalListenWriter::SendMessage(std::size_t length) {
    for (;;) {
        const ssize_t sent = ::send(m_socket, m_message.data(), length, MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(length)) {
            return true;
        }
        if (sent >= 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;
        }
        // The reader is behind: wait for room, looking at the stop flag.
        pollfd p{m_socket, POLLOUT, 0};
        while (!m_stop && ::poll(&p, 1, kPollMs) == 0) {
        }
        if (m_stop) {
            return false;
        }
    }
}

std::size_t CLocalListenWriter::RingCapacity() const {
    CMutexLock lock(m_ringLock);
    return m_ring.size();
}

std::size_t CLocalListenWriter::WakeThreshold() const {
    CMutexLock lock(m_ringLock);
    return m_ringThreshold;
}

std::size_t CLocalListenWriter::MaxMessageAudio() const {
    CMutexLock lock(m_controlLock);
    return m_chunk;
}

}  // namespace zorv
