// The client side of one connection to a NET2 transcoder's text shell: log
// in, send a command line, read the reply up to the prompt.
//
// The shell is plain ASCII over TCP without option negotiation. Every line
// sent ends in CR LF; the transcoder answers with text whose last byte is the
// prompt ">". After a successful login the whole answer to the password is
// exactly "NET2 shell>"; replies that begin with "OK" report success.
//
// Time limits: the connection is made within the connect timeout; every send
// and every receive waits at most the I/O timeout (both 2000 ms unless set).
// One reply as a whole must arrive within kReplyDeadlineFactor I/O timeouts,
// so that a shell that trickles bytes without ever sending its prompt cannot
// hold the caller for ever. A reply that does not fit the 1024-byte buffer
// fails as well.
//
// A controller belongs to one owner (a data flow, the configurator) and is
// used only under that owner's lock; it has no lock of its own. Nothing of
// ACE shows here: the socket is kept as its handle.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transcoders/ShellReplyReader.h"

namespace zorv {

// The last error of a controller (LastError).
enum class TelnetError : uint32_t {
    kNone = 0,
    kConnectFailed = 1,  // connection refused, timed out or no such host
    kLoginRefused = 2,   // the answer to the password was not "NET2 shell>"
    kIoFailed = 3,       // send or receive failed or timed out, peer closed, not connected
    kReplyOverflow = 4,  // reply did not fit the buffer; also: login in progress
};

class CTelnetController {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{2000};
    // A whole reply must come within this many I/O timeouts.
    static constexpr int kReplyDeadlineFactor = 4;
    // The exact answer to a successful login.
    static constexpr std::string_view kLoggedInReply = "NET2 shell>";

    CTelnetController();
    ~CTelnetController();
    CTelnetController(const CTelnetController&) = delete;
    CTelnetController& operator=(const CTelnetController&) = delete;

    // Closes any open connection, connects to host (dotted address or name)
    // at port, reads the greeting and logs in as user with password. True
    // when logged in (LastError kNone); on failure the socket is closed and
    // LastError says why (kLoginRefused: the shell did not accept the
    // password).
    bool Connect(const std::string& host, const std::string& user, const std::string& password,
                 uint16_t port);

    // Sends text and CR LF, then reads the reply up to the prompt. True when
    // the reply is complete in the buffer. A send or receive failure closes
    // the connection. Text holding CR, LF or a zero byte (which would send
    // more than one line) is refused without sending: kIoFailed, and the
    // connection stays as it was.
    bool Command(std::string_view text);

    // The reply begins with "OK".
    bool IsOk() const;
    // The last reply (zero-terminated) and its length in bytes, at most
    // CShellReplyReader::kCapacity.
    const char* Reply() const { return m_reply.CText(); }
    std::size_t ReplyLength() const { return m_reply.Length(); }
    std::string_view ReplyText() const { return m_reply.Text(); }
    // The reply's non-empty lines in order (views into the reply buffer,
    // valid until the next Connect or Command).
    std::vector<std::string_view> ReplyLines() const { return SplitReplyLines(m_reply.Text()); }

    TelnetError LastError() const { return m_lastError; }
    bool IsConnected() const { return m_socket >= 0; }
    void Close();

    // Time limits in milliseconds; values below 1 ms count as 1 ms.
    void SetConnectTimeout(std::chrono::milliseconds timeout);
    void SetIoTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds ConnectTimeout() const { return m_connectTimeout; }
    std::chrono::milliseconds IoTimeout() const { return m_ioTimeout; }

private:
    class CTelnetConnectException;

    // Reads one reply into m_reply within the I/O limits.
    bool ReadReply();
    // Sets the error, closes, returns false.
    bool Fail(TelnetError error);

    std::chrono::milliseconds m_connectTimeout = kDefaultTimeout;
    std::chrono::milliseconds m_ioTimeout = kDefaultTimeout;
    int m_socket = -1;  // connected stream socket, -1 when closed
    TelnetError m_lastError = TelnetError::kNone;
    CShellReplyReader m_reply;
};

}  // namespace zorv
