// The text configuration shell of a simulated NET2 transcoder: one session
// per TCP connection, as a plain value without sockets.
//
// The session cuts the received bytes into lines (a line ends at CR LF, CR
// or LF), walks the login (user name, then password) and answers the shell
// commands on the transcoder's state, which the caller lends it for each
// line under the transcoder's lock:
//   - "admin" logs in with the configuration password, "user" with the start
//     password; a user whose passmode is 1 (no password) logs in with any
//     password. User 0 is "admin", user 1 is "user"; their passmodes follow
//     the ProtectLevel (level 1: user 0 asks a password, level 2: both do);
//   - after a good login the whole answer is "NET2 shell>"; a refused login
//     answers "Login incorrect" and asks the user name again;
//   - a command's reply is its text; the caller adds the prompt line.
// Not thread-safe: the transcoder's worker thread owns every session.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "simulation/SimulatedTranscoder.h"
#include "transcoders/TranscoderDataProtocol.h"
#include "transcoders/TranscoderProtocol.h"

namespace zorv {

inline constexpr std::string_view kShellGreeting = "NET2 transcoder simulator\r\nlogin>";
inline constexpr std::string_view kShellPasswordPrompt = "password>";
inline constexpr std::string_view kShellLoginIncorrect = "Login incorrect\r\nlogin>";
// Ends every reply after the login.
inline constexpr std::string_view kShellPromptLine = "\r\nNET2 shell>";
// A longer line closes the connection.
inline constexpr std::size_t kShellLineMax = 1024;

// The transcoder state a session reads and changes: the configuration, the
// address a "restart" moves to, the codec the next "codec:update" applies
// and the faults that change answers.
struct CShellState {
    DeviceConfig& config;
    uint32_t& pendingIp;      // network byte order
    uint16_t& pendingPort;
    SimNet2Codec* codec = nullptr;  // null: no codec commands
    const SimStreamFaults* faults = nullptr;
};

// A codec the stream can send: a known compression and rate, SPEEX only at
// 8000 or 16000 Hz with a Speex mode of that rate.
bool Net2CodecValid(const SimNet2Codec& codec);

struct ShellReply {
    std::string text;
    bool afterLogin = false;   // a command's reply: the prompt line is still to add
    bool restart = false;      // the transcoder restarts after sending it
    bool wasPassword = false;  // the line was a password (not to be shown)
    bool updateCodec = false;  // "codec:update" accepted: apply the codec
    bool lineOnOff = false;    // "line:setonoff" accepted: apply its mask
};

class CShellSession {
public:
    // Appends the complete lines of bytes to lines. False when a line grows
    // beyond kShellLineMax.
    bool Feed(std::string_view bytes, std::vector<std::string>& lines);

    // The answer to one line.
    ShellReply Handle(const std::string& line, CShellState& state);

    bool LoggedIn() const { return m_stage == Stage::kShell; }

private:
    enum class Stage { kUser, kPassword, kShell };

    std::string Command(const std::string& line, CShellState& state, ShellReply& reply) const;
    std::string CodecCommand(std::string_view word, std::string_view rest, CShellState& state,
                             ShellReply& reply) const;

    Stage m_stage = Stage::kUser;
    std::string m_user;
    std::string m_partial;
    bool m_skipLineFeed = false;  // the last byte was a CR
};

// The passmode of shell user 0 or 1 under a protect level (0 asks a
// password, 1 does not), and the protect level of two passmodes.
int ShellPassMode(uint8_t protectLevel, int user);
uint8_t ProtectLevelOfPassModes(int passMode0, int passMode1);

}  // namespace zorv
