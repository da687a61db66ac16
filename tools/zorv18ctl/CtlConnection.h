// The command-line client's connection to a recording server: connects over
// TCP, logs in, sends read requests and reads whole messages. Messages the
// server pushes between replies (codes 6 and 3) are handed to a callback, so
// that a caller waiting for a reply never loses one.
//
// Message sizes come from the client protocol's one table (ClientProtocol.h).
// Used from one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorv::ctl {

struct Message {
    uint8_t code = 0;
    uint8_t index = 0;
    std::vector<uint8_t> bytes;  // the whole message, code and index included
};

enum class LoginResult { kGranted, kRefused, kFailed };

class CCtlConnection {
public:
    using PushHandler = std::function<void(const Message&)>;

    CCtlConnection() = default;
    ~CCtlConnection();
    CCtlConnection(const CCtlConnection&) = delete;
    CCtlConnection& operator=(const CCtlConnection&) = delete;

    // host: an IPv4 address or a name. False with Error() set on failure.
    bool Connect(const std::string& host, uint16_t port);
    // Names and passwords in UTF-8; sent in windows-1251.
    LoginResult Login(std::string_view user, std::string_view password);

    // A whole request as built (its size is the caller's: NewRequest).
    bool Send(std::span<const uint8_t> request);
    // A 4-byte request: code, device, a, b.
    bool Request(uint8_t code, uint8_t index, uint8_t a = 0, uint8_t b = 0);
    // The next whole message, waiting at most timeoutMs (-1: no limit); empty
    // on time-out (Error() empty) or on a closed or broken connection
    // (Error() says what happened).
    std::optional<Message> Next(int timeoutMs);
    // The next message with this code; pushed messages of other codes before
    // it go to onPush. Waits at most 20 s.
    std::optional<Message> Reply(uint8_t code, const PushHandler& onPush = {});

    const std::string& Error() const { return m_error; }

private:
    bool SendAll(const uint8_t* data, std::size_t size);
    // Reads until m_buffer holds at least n bytes; false on close, error or
    // time-out.
    bool Fill(std::size_t n, int timeoutMs);

    int m_fd = -1;
    std::vector<uint8_t> m_buffer;  // received bytes not yet taken
    std::string m_error;
};

// The size of a whole message from the server whose first two bytes are
// code and index; 0 for a code the client protocol does not define.
std::size_t ServerMessageSize(uint8_t code, uint8_t index);

}  // namespace zorv::ctl
