// A client of a NET2 text shell for tests, as the server's flow speaks to
// it: one TCP connection, lines sent with CR LF, replies read up to the
// prompt's ">". Used on one thread.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace zorv::test {

class CShellClient {
public:
    static constexpr std::chrono::milliseconds kWait{5000};

    // Connects to ip (network order) and port.
    CShellClient(uint32_t ip, uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ip;
        address.sin_port = htons(port);
        EXPECT_EQ(::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~CShellClient() { ::close(m_fd); }
    CShellClient(const CShellClient&) = delete;
    CShellClient& operator=(const CShellClient&) = delete;

    // Text received until it ends with ending (or the connection ends, or
    // the wait runs out).
    std::string Read(std::string_view ending = ">") {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (!text.ends_with(ending) && std::chrono::steady_clock::now() < deadline) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, 50) != 1) {
                continue;
            }
            char bytes[4096];
            const ssize_t size = ::recv(m_fd, bytes, sizeof bytes, 0);
            if (size <= 0) {
                break;
            }
            text.append(bytes, static_cast<std::size_t>(size));
        }
        return text;
    }

    // Sends a line; what comes back up to ending.
    std::string Command(const std::string& line, std::string_view ending = ">") {
        const std::string bytes = line + "\r\n";
        EXPECT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
        return Read(ending);
    }

    // A command's reply without the prompt line after it.
    std::string Reply(const std::string& line) {
        std::string reply = Command(line);
        if (const auto end = reply.rfind("\r\nNET2 shell>"); end != std::string::npos) {
            reply.resize(end);
        }
        return reply;
    }

    // Greeting, user, password: the text after the password.
    std::string Login(const std::string& user, const std::string& password) {
        EXPECT_TRUE(Read().ends_with(">"));
        EXPECT_TRUE(Command(user).ends_with(">"));
        return Command(password);
    }

private:
    int m_fd = -1;
};

}  // namespace zorv::test
