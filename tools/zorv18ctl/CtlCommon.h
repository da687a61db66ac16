// What the command groups of zorv18ctl share: exit codes, number parsing,
// secrets read without echo, requests built to the command table's sizes
// and the printing of a status reply.
//
// Used from the one thread of the program.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "CtlConnection.h"

namespace zorv::ctl {

// Exit codes.
inline constexpr int kUsage = 1;          // wrong usage
inline constexpr int kNoConnection = 2;   // no connection, or it failed
inline constexpr int kLoginRefused = 3;   // login refused
inline constexpr int kCommandFailed = 4;  // the server answered "failed" (or has no such operation)
inline constexpr int kCommandRefused = 5;  // the server refused for lack of rights

// The arguments after the command word.
using Args = std::vector<std::string>;
// Connects and logs in; 0 or the exit code of the failure (already reported).
using Opener = std::function<int(CCtlConnection&)>;

// A decimal number within [low, high].
bool ParseNumber(const std::string& text, long low, long high, long& out);
// "N" or "N-M" within [low, high]; first <= last.
bool ParseRange(const std::string& text, long low, long high, long& first, long& last);

// Reports the connection's error; kNoConnection.
int Failed(const CCtlConnection& connection);
// Reports wrong usage of a command; kUsage.
int BadUsage(const std::string& what);

// A secret from the environment variable, else from the terminal without
// echo (after prompt), else one line of standard input.
std::string ReadSecret(const char* variable, const char* prompt);

// A request of the size the command table gives code, zero but for code and
// index. Empty for a code the table does not know.
std::vector<uint8_t> NewRequest(uint8_t code, uint8_t index);
void PutU32(std::vector<uint8_t>& bytes, std::size_t at, uint32_t value);
void PutU16(std::vector<uint8_t>& bytes, std::size_t at, uint16_t value);
uint32_t GetU32(std::span<const uint8_t> bytes, std::size_t at);
uint16_t GetU16(std::span<const uint8_t> bytes, std::size_t at);

// The text for a status result: "done" (1), "failed" (0; "not available on
// this server" for a code the server does not serve), "refused (no rights)"
// (-1); other results are shown as numbers.
std::string StatusText(uint8_t code, int32_t result);
// The exit code for a status result.
int StatusExit(int32_t result);

// Sends request and waits for its reply; the reply, or empty with the
// connection's error reported.
std::optional<Message> Exchange(CCtlConnection& connection, const std::vector<uint8_t>& request);
// Sends a request answered by the status reply, prints what the server
// answered (prefix first, when given) and returns the exit code.
int RunStatusRequest(CCtlConnection& connection, const std::vector<uint8_t>& request,
                     const std::string& prefix = {});

}  // namespace zorv::ctl
