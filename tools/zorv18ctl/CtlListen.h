// zorv18ctl listen: the receiving half of local listening. The tool creates
// the SOCK_SEQPACKET socket the server connects to
// (LocalListenSocketPath(run directory, port)), takes its messages (4-byte
// header: u16 rate, flags with bit 0 a stereo pair and bit 1 line-monitor
// audio, a zero byte; then 16-bit PCM) and writes them as one WAV stream.
//
// The link itself is started and stopped on the server through
// IListenLink; the server's local interface fills it. Until then
// CServerStartedLink only waits for a start made on the server's side.
//
// Used from the one thread of the program.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zorv::ctl {

// Asks the server to connect a channel's audio to the socket of a port, and
// to end that link.
class IListenLink {
public:
    virtual ~IListenLink() = default;
    // False with error set when the server did not start the link.
    virtual bool Start(int device, int channel, uint16_t port, std::string& error) = 0;
    // Ends the link started last; nothing without one.
    virtual void Stop() = 0;
};

// The link is started on the server by other means: nothing to ask.
class CServerStartedLink final : public IListenLink {
public:
    bool Start(int, int, uint16_t, std::string&) override { return true; }
    void Stop() override {}
};

// The WAV stream written to a file descriptor: a 44-byte header with the
// format of the first message and the largest sizes, so that a reader
// takes it as an endless stream; a regular file gets its true sizes when
// the stream ends.
class CWavStream {
public:
    explicit CWavStream(int fd) : m_fd(fd) {}
    bool Started() const { return m_started; }
    bool SameFormat(uint32_t rate, int channels) const {
        return rate == m_rate && channels == m_channels;
    }
    // Writes the header; false when the output failed.
    bool Begin(uint32_t rate, int channels);
    // Appends whole frames; false when the output failed or the stream is
    // full (its sizes reached the largest a WAV file holds).
    bool Append(const uint8_t* audio, std::size_t length);
    // Puts the true sizes into a seekable output.
    void Finish();
    uint64_t Bytes() const { return m_bytes; }

private:
    bool WriteAll(const uint8_t* data, std::size_t size);

    int m_fd;
    bool m_started = false;
    uint32_t m_rate = 0;
    int m_channels = 0;
    uint64_t m_bytes = 0;  // audio bytes written
};

// Parsed options of `listen`.
struct ListenOptions {
    int device = 0;
    int channel = 0;
    uint16_t port = 0;
    bool play = false;     // to aplay instead of standard output
    bool noStart = false;  // the link is started on the server's side
    int seconds = 0;       // 0: until interrupted
    std::string runDirectory;
};

// Receives until interrupted, the time is up or the output ends; the exit code.
int Listen(const ListenOptions& options, IListenLink& link);

}  // namespace zorv::ctl
