#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/ShellPeer.h"
#include "transcoders/TelnetController.h"

namespace zorv {

// Failure messages show the error's number.
static void PrintTo(TelnetError error, std::ostream* out) {
    *out << static_cast<uint32_t>(error);
}

namespace {

using test::CShellPeer;
using test::ShellPeerScript;
using test::ShellReply;
using namespace std::chrono_literals;

// Short limits keep the failing cases quick: a receive waits 200 ms, a whole
// reply at most 800 ms.
void ShortLimits(CTelnetController& shell) {
    shell.SetConnectTimeout(1000ms);
    shell.SetIoTimeout(200ms);
}

// The reader without a socket: what each series of receives leaves.
struct ReaderCase {
    const char* name;
    std::vector<std::string> receives;
    CShellReplyReader::Status status;
    std::size_t length;
};

TEST(ShellReplyReader, PromptOnlyAsTheLastByteOfAReceiveAndNeverBeyondTheBuffer) {
    const std::string full(CShellReplyReader::kCapacity - 1, 'x');
    const std::vector<ReaderCase> cases = {
        {"prompt in its own receive",
         {"NET2 shell", ">"},
         CShellReplyReader::Status::kComplete,
         11},
        {"prompt inside a receive is text", {"a>b"}, CShellReplyReader::Status::kIncomplete, 3},
        {"prompt as the buffer's last byte",
         {full + ">"},
         CShellReplyReader::Status::kComplete,
         1024},
        {"buffer full without prompt", {full + "x"}, CShellReplyReader::Status::kOverflow, 1024},
        {"one byte too many", {full, "x>"}, CShellReplyReader::Status::kOverflow, 1024},
        {"nothing taken after the prompt",
         {"OK>", "more"},
         CShellReplyReader::Status::kComplete,
         3},
        {"empty receive", {"", "ab"}, CShellReplyReader::Status::kIncomplete, 2},
    };
    for (const ReaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        CShellReplyReader reader;
        reader.Reset();
        for (const std::string& bytes : c.receives) {
            reader.Feed(bytes);
        }
        EXPECT_EQ(reader.State(), c.status);
        EXPECT_EQ(reader.Length(), c.length);
        EXPECT_EQ(reader.CText()[reader.Length()], '\0');
        EXPECT_TRUE(reader.Space().empty() || c.status == CShellReplyReader::Status::kIncomplete);
    }
}

TEST(ShellReplyReader, SplitsLinesAtCrOrLfAndDropsEmptyOnes) {
    struct Case {
        std::string text;
        std::vector<std::string_view> lines;
    };
    const std::vector<Case> cases = {
        {"OK: a\r\nOK: b\r\n\r\nNET2 shell>", {"OK: a", "OK: b", "NET2 shell>"}},
        {"x\ry\nz", {"x", "y", "z"}},
        {"\r\n\n\r", {}},
        {"", {}},
        {"single>", {"single>"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(SplitReplyLines(c.text), c.lines);
    }
}

// A login against the scripted shell: what Connect reports and what the
// shell received.
struct LoginCase {
    const char* name;
    ShellPeerScript script;
    std::string password;
    bool connected;
    TelnetError error;
    std::vector<std::string> received;
};

ShellPeerScript WithGreeting(std::string greeting, std::chrono::milliseconds trickle = 0ms) {
    ShellPeerScript script;
    script.greeting = std::move(greeting);
    script.greetingTrickle = trickle;
    return script;
}

TEST(TelnetController, LoginOutcomes) {
    const std::vector<LoginCase> cases = {
        {"accepted", {}, "secret", true, TelnetError::kNone, {"admin", "secret"}},
        {"wrong password", {}, "guess", false, TelnetError::kLoginRefused, {"admin", "guess"}},
        {"greeting fills the buffer without prompt",
         WithGreeting(std::string(2000, 'x')),
         "secret",
         false,
         TelnetError::kReplyOverflow,
         {}},
        {"greeting of exactly the buffer with its prompt",
         WithGreeting(std::string(1023, 'g') + ">"),
         "secret",
         true,
         TelnetError::kNone,
         {"admin", "secret"}},
        {"prompt never comes",
         WithGreeting("NET2 shell login"),
         "secret",
         false,
         TelnetError::kIoFailed,
         {}},
        // One byte every 10 ms: every receive gets data in time, only the
        // bound on the whole reply ends the wait (long before the buffer fills).
        {"greeting trickles without prompt",
         WithGreeting(std::string(2000, 't'), 10ms),
         "secret",
         false,
         TelnetError::kIoFailed,
         {}},
        // A password holding a line end would send a second line.
        {"password with a line end",
         {},
         "secret\r\ninfo",
         false,
         TelnetError::kIoFailed,
         {"admin"}},
    };
    for (const LoginCase& c : cases) {
        SCOPED_TRACE(c.name);
        CShellPeer peer(c.script);
        CTelnetController shell;
        ShortLimits(shell);
        EXPECT_EQ(shell.Connect(CShellPeer::kHost, "admin", c.password, peer.Port()), c.connected);
        EXPECT_EQ(shell.LastError(), c.error);
        EXPECT_EQ(shell.IsConnected(), c.connected);
        if (c.connected) {
            EXPECT_EQ(shell.ReplyText(), "NET2 shell>");
        }
        shell.Close();
        EXPECT_EQ(peer.Received(), c.received);
    }
}

TEST(TelnetController, RefusedConnectionIsErrorOne) {
    test::CRefusingPort refusing;
    CTelnetController shell;
    ShortLimits(shell);
    EXPECT_FALSE(shell.Connect(CShellPeer::kHost, "admin", "secret", refusing.Port()));
    EXPECT_EQ(shell.LastError(), TelnetError::kConnectFailed);
    EXPECT_FALSE(shell.IsConnected());
}

// Commands after a login: the reply each gives and what is left of the
// connection.
struct CommandCase {
    const char* name;
    std::string command;
    ShellReply reply;
    bool done;
    TelnetError error;
    bool ok;
    std::vector<std::string_view> lines;
};

TEST(TelnetController, CommandReplies) {
    const std::string exact = std::string(1023, 'r') + ">";
    const std::string over = std::string(1024, 'r') + ">";
    const std::vector<CommandCase> cases = {
        {"OK reply",
         "info",
         {"OK: NET2 summary info\r\n\r\nNET2 shell>"},
         true,
         TelnetError::kNone,
         true,
         {"OK: NET2 summary info", "NET2 shell>"}},
        {"error reply",
         "bogus",
         {"ERROR: unknown\r\nNET2 shell>"},
         true,
         TelnetError::kNone,
         false,
         {"ERROR: unknown", "NET2 shell>"}},
        {"reply of exactly 1024 bytes",
         "big",
         {exact},
         true,
         TelnetError::kNone,
         false,
         {std::string_view(exact)}},
        {"reply of 1025 bytes", "big", {over}, false, TelnetError::kReplyOverflow, false, {}},
        {"peer closes before the prompt",
         "restart",
         {"OK: restarting\r\n", true},
         false,
         TelnetError::kIoFailed,
         false,
         {}},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        ShellPeerScript script;
        script.replies[c.command] = c.reply;
        CShellPeer peer(script);
        CTelnetController shell;
        ShortLimits(shell);
        ASSERT_TRUE(shell.Connect(CShellPeer::kHost, "admin", "secret", peer.Port()));
        EXPECT_EQ(shell.Command(c.command), c.done);
        EXPECT_EQ(shell.LastError(), c.error);
        EXPECT_EQ(shell.IsConnected(), c.done);
        if (c.done) {
            EXPECT_EQ(shell.IsOk(), c.ok);
            EXPECT_EQ(shell.ReplyText(), c.reply.text);
            EXPECT_EQ(shell.ReplyLength(), c.reply.text.size());
            EXPECT_EQ(shell.ReplyLines(), c.lines);
        }
        EXPECT_LE(shell.ReplyLength(), CShellReplyReader::kCapacity);
    }
}

TEST(TelnetController, RefusesTextThatWouldSendASecondLineAndStaysConnected) {
    ShellPeerScript script;
    script.replies["info"] = {"OK: NET2 summary info\r\nNET2 shell>"};
    CShellPeer peer(script);
    CTelnetController shell;
    ShortLimits(shell);
    ASSERT_TRUE(shell.Connect(CShellPeer::kHost, "admin", "secret", peer.Port()));

    EXPECT_FALSE(shell.Command("setdescription x\r\nrestart"));
    EXPECT_EQ(shell.LastError(), TelnetError::kIoFailed);
    EXPECT_TRUE(shell.IsConnected());
    EXPECT_TRUE(shell.Command("info"));
    EXPECT_EQ(peer.Commands(), std::vector<std::string>{"info"});
}

TEST(TelnetController, CommandWithoutConnectionFails) {
    CTelnetController shell;
    EXPECT_FALSE(shell.Command("info"));
    EXPECT_EQ(shell.LastError(), TelnetError::kIoFailed);
}

}  // namespace
}  // namespace zorv
