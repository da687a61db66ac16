// A server core for tests: posted messages are recorded instead of queued and
// handled on the test's thread by Pump(), journal lines also go to the call
// log, and the devices to create are planned per kind and candidate.
#pragma once

#include <fmt/format.h>

#include <array>
#include <deque>
#include <string>
#include <vector>

#include "core/ServerCore.h"
#include "platform/Cp1251.h"
#include "support/CoreDoubles.h"

namespace zorv::test {

// "journal <kind>: <text in UTF-8>", the form journal lines take in a call log.
inline std::string JournalEntry(int kind, std::string_view cp1251Text) {
    return fmt::format("journal {}: {}", kind, Cp1251ToUtf8(cp1251Text));
}
template <typename... Args>
std::string J(int kind, int text, const Args&... args) {
    return JournalEntry(kind, FormatCatalogText(Msg{text}, args...));
}
inline std::string Posted(int code, int a = 0, int b = 0, int c = 0) {
    return fmt::format("post({},{},{},{})", code, a, b, c);
}

class CTestServer : public CServerCore {
public:
    CTestServer(ServerEnvironment environment, ServerComponents components, CallLog& log)
        : CServerCore(std::move(environment), std::move(components)), m_log(log) {}
    ~CTestServer() override { Stop(); }

    bool Post(int32_t code, int32_t a = 0, int32_t b = 0, int32_t c = 0) override {
        if (m_queueForReal) {
            return CServerCore::Post(code, a, b, c);
        }
        m_posted.push_back({code, a, b, c});
        m_log.push_back(Posted(code, a, b, c));
        return true;
    }

    void WriteJournal(int kind, std::string_view text) override {
        m_log.push_back(JournalEntry(kind, text));
        CServerCore::WriteJournal(kind, text);
    }

    // Handles one message as the message thread would.
    void Handle(int32_t code, int32_t a = 0, int32_t b = 0, int32_t c = 0) {
        OnMessage(code, a, b, c);
    }

    // Handles the recorded messages in posting order, and what they post, up to
    // a bound. Returns how many were handled.
    int Pump(int bound = 100) {
        int handled = 0;
        while (!m_posted.empty() && handled < bound) {
            ServerMessage m = m_posted.front();
            m_posted.pop_front();
            OnMessage(m.code, m.a, m.b, m.c);
            ++handled;
        }
        return handled;
    }

    // The device candidate j of kind k is m_plan[k][j] (null: none).
    std::array<std::vector<std::unique_ptr<CFakeDevice>>, 5> m_plan;
    // Candidate counts per kind; -1 keeps the server's own count.
    std::array<int, 5> m_candidates{0, 0, 0, 0, 0};
    // Kinds 1..4 report a failure to create through their out value.
    int m_reportOnMissing = 0;

    std::deque<ServerMessage> m_posted;
    bool m_queueForReal = false;

    using CServerCore::SetStateWord;

protected:
    std::unique_ptr<IServerDevice> CreateDevice0(int candidate, int) override {
        return Take(0, candidate);
    }
    std::unique_ptr<IServerDevice> CreateDevice1(int candidate, int, int& report) override {
        return TakeReporting(1, candidate, report);
    }
    std::unique_ptr<IServerDevice> CreateDevice2(int candidate, int, int& report) override {
        return TakeReporting(2, candidate, report);
    }
    std::unique_ptr<IServerDevice> CreateDevice3(int candidate, int, int& report) override {
        return TakeReporting(3, candidate, report);
    }
    std::unique_ptr<IServerDevice> CreateDevice4(int candidate, int, int& report) override {
        return TakeReporting(4, candidate, report);
    }
    int GetCandidateCount(int kind) const override {
        const int planned = (kind >= 0 && kind < 5) ? m_candidates[static_cast<size_t>(kind)] : 0;
        return planned < 0 ? CServerCore::GetCandidateCount(kind) : planned;
    }

private:
    std::unique_ptr<IServerDevice> Take(int kind, int candidate) {
        auto& plan = m_plan[static_cast<size_t>(kind)];
        if (candidate < 0 || static_cast<size_t>(candidate) >= plan.size()) {
            return nullptr;
        }
        return std::move(plan[static_cast<size_t>(candidate)]);
    }
    std::unique_ptr<IServerDevice> TakeReporting(int kind, int candidate, int& report) {
        auto device = Take(kind, candidate);
        report = device ? 0 : m_reportOnMissing;
        return device;
    }

    CallLog& m_log;
};

}  // namespace zorv::test
