// Local listening: writes the audio of one channel into a Unix-domain
// SOCK_SEQPACKET socket that a local program listens on, one message per
// write: a 4-byte header and the audio bytes.
//
// Socket: "<run dir>/AE1E45DA-B5C6-402D-B0EB-A8954F9F2744_Local_Listen_Port_<port>"
// (LocalListenSocketPath). Header: u16 sample rate (little-endian), a flags
// byte (bit 0 a stereo pair; bit 1 the line-monitor kind), a zero byte.
//
// With B = the rate, doubled for a stereo pair: the ring holds 4 B bytes
// (two of a line record's one-second buffers, which the device pushes
// whole), the writer wakes once B / 8 bytes of PCM (300 of line monitor) are
// queued,
// and one message carries at most 2 (B / 4) - 4 bytes of PCM (B / 4 - 4 of
// line monitor). The ring and every message hold whole samples (whole
// frames of a stereo pair), so a ring of any size never splits one.
//
// Threads: the device calls Open, Reformat and Close under its channel lock
// from a client thread, and Push on its reading thread; Push only takes
// m_ringLock and never waits or allocates. The writer thread takes
// m_ringLock only while it copies out of the ring, never while it writes to
// the socket. m_controlLock serialises Open, Reformat and Close (and with
// them the thread's start and stop); the socket, the format and the buffers
// change only while the thread is stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/AudioObserver.h"
#include "platform/AutoResetEvent.h"
#include "platform/Mutex.h"

namespace zorv {

// The socket a local program creates for port in runDirectory.
std::string LocalListenSocketPath(const std::string& runDirectory, uint16_t port);

class CLocalListenWriter final : public CAudioObserver {
public:
    CLocalListenWriter(std::string runDirectory, uint16_t port);
    ~CLocalListenWriter() override;
    CLocalListenWriter(const CLocalListenWriter&) = delete;
    CLocalListenWriter& operator=(const CLocalListenWriter&) = delete;

    uint16_t Port() const { return m_port; }

    // Connects to the socket (it must exist) and starts the writer thread.
    // False, and closed, for a rate other than 8000, 16000 and 32000, a kind
    // other than 0 and 1, or a socket that cannot be reached.
    bool Open(uint32_t sampleRate, bool stereo, int kind) override;
    void Close() override;
    // Stops the thread, keeps the socket, and starts again with the new
    // format; false (and stopped: Push takes nothing) for a rate or kind it
    // cannot take.
    bool Reformat(uint32_t sampleRate, bool stereo, int kind) override;
    std::size_t Push(const uint8_t* bytes, std::size_t length) override;

    // The sizes of the current format (for tests).
    std::size_t RingCapacity() const;
    std::size_t WakeThreshold() const;
    std::size_t MaxMessageAudio() const;

private:
    bool StartLocked() REQUIRES(m_controlLock);
    void StopLocked() REQUIRES(m_controlLock);
    void CloseLocked() REQUIRES(m_controlLock);
    void Run();
    // Sends one message; false when the socket failed or the writer stops.
    bool SendMessage(std::size_t length);

    // Constant after construction
    const std::string m_runDirectory;
    const uint16_t m_port;

    mutable CMutex m_controlLock;
    // Set under m_controlLock while the thread is stopped; read by the
    // writer thread while it runs.
    int m_socket = -1;
    uint32_t m_rate = 0;
    bool m_stereo = false;
    int m_kind = kKindPcm;
    std::size_t m_frame = 2;         // bytes per whole sample (frame)
    std::size_t m_threshold = 0;     // wake the writer at this many bytes
    std::size_t m_chunk = 0;         // audio bytes per message
    std::vector<uint8_t> m_message;  // header and one chunk (writer thread)
    std::thread m_thread GUARDED_BY(m_controlLock);

    std::atomic<bool> m_stop{true};
    CAutoResetEvent m_wake;

    // The ring: Push appends, the writer takes.
    mutable CMutex m_ringLock;
    std::vector<uint8_t> m_ring GUARDED_BY(m_ringLock);
    std::size_t m_ringStart GUARDED_BY(m_ringLock) = 0;
    std::size_t m_ringUsed GUARDED_BY(m_ringLock) = 0;
    // False while stopped: Push takes nothing.
    bool m_accepting GUARDED_BY(m_ringLock) = false;
    std::size_t m_ringFrame GUARDED_BY(m_ringLock) = 2;
    std::size_t m_ringThreshold GUARDED_BY(m_ringLock) = 0;
};

}  // namespace zorv
