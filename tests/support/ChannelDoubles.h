// Doubles for the channel logic: a recorder that keeps records in memory and
// logs its calls, hooks that log and hand out preset numbers, and a server
// that records posts.
#pragma once

#include <fmt/format.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "channels/ChannelHooks.h"
#include "core/Server.h"
#include "support/CoreDoubles.h"

namespace zorv::test {

class CPostRecorder final : public IServer {
public:
    explicit CPostRecorder(CallLog& log) : m_log(log) {}
    bool Post(int32_t code, int32_t a, int32_t b, int32_t c) override {
        m_log.push_back(fmt::format("post({},{},{},{})", code, a, b, c));
        return true;
    }
    void WriteJournal(int kind, std::string_view text) override {
        m_log.push_back(fmt::format("journal({}) {}", kind, text));
    }

private:
    CallLog& m_log;
};

// Records of each channel in memory: what was written, the metadata at the
// moment the record finished.
class CMemoryRecorder final : public IChannelRecorder {
public:
    struct Finished {
        int channel;
        std::vector<uint8_t> audio;
        tagDB_Record meta;
        RecordStart start;
    };

    explicit CMemoryRecorder(CallLog& log) : m_log(log) {}

    void PrepareFormat(int channel, int channels, uint32_t rate) override {
        m_format[channel] = {channels, rate};
    }
    tagDB_Record& Metadata(int channel) override { return m_meta[static_cast<size_t>(channel)]; }
    bool OpenRecord(int channel, const RecordStart& start) override {
        m_log.push_back(fmt::format("open({})", channel));
        if (m_failOpen) {
            return false;
        }
        m_open[static_cast<size_t>(channel)] = true;
        m_starts[static_cast<size_t>(channel)] = start;
        m_audio[static_cast<size_t>(channel)].clear();
        tagDB_Record& meta = Metadata(channel);
        meta.hour = 10;
        meta.min = 20;
        meta.sec = 30;
        meta.inout = start.stateLine;
        meta.Format = start.compress;
        return true;
    }
    bool IsRecordOpen(int channel) const override { return m_open[static_cast<size_t>(channel)]; }
    std::size_t WriteRecord(int channel, const void* data, std::size_t bytes) override {
        auto& audio = m_audio[static_cast<size_t>(channel)];
        const auto* p = static_cast<const uint8_t*>(data);
        audio.insert(audio.end(), p, p + bytes);
        ++m_writes;
        return m_shortWrites ? bytes / 2 : bytes;
    }
    void FinishRecord(int channel) override {
        m_log.push_back(fmt::format("finish({})", channel));
        const size_t i = static_cast<size_t>(channel);
        m_finished.push_back({channel, m_audio[i], m_meta[i], m_starts[i]});
        m_open[i] = false;
        m_meta[i] = tagDB_Record{};
    }
    void SetMute(int channel, bool mute) override { m_mute[static_cast<size_t>(channel)] = mute; }
    bool GetMute(int channel) const override { return m_mute[static_cast<size_t>(channel)]; }
    void AddCallWithoutFile(const tagDB_Record& record) override {
        m_log.push_back(fmt::format("db(hour {},inout {})", record.hour, record.inout));
        m_withoutFile.push_back(record);
    }

    void Reset() {
        m_open = {};
        m_meta = {};
        m_audio = {};
        m_finished.clear();
        m_withoutFile.clear();
        m_writes = 0;
    }

    bool m_failOpen = false;
    bool m_shortWrites = false;
    int m_writes = 0;
    std::array<bool, 18> m_open{};
    std::array<bool, 18> m_mute{};
    std::array<tagDB_Record, 18> m_meta{};
    std::array<RecordStart, 18> m_starts{};
    std::array<std::vector<uint8_t>, 18> m_audio;
    std::map<int, std::pair<int, uint32_t>> m_format;
    std::vector<Finished> m_finished;
    std::vector<tagDB_Record> m_withoutFile;

private:
    CallLog& m_log;
};

class CLoggingHooks final : public IChannelHooks {
public:
    explicit CLoggingHooks(CallLog& log) : m_log(log) {}
    void OnRing(int ch) override { m_log.push_back(fmt::format("hook ring({})", ch)); }
    void OnCallIn(int ch) override { m_log.push_back(fmt::format("hook in({})", ch)); }
    void OnCallOut(int ch) override { m_log.push_back(fmt::format("hook out({})", ch)); }
    void OnFree(int ch) override { m_log.push_back(fmt::format("hook free({})", ch)); }
    bool DtmfNumber(int, std::string& number) override {
        number = m_dtmf;
        return !m_dtmf.empty();
    }
    bool CallerNumber(int, std::string& number, uint32_t& category) override {
        number = m_caller;
        category = m_category;
        return !m_caller.empty();
    }
    void StartCallerNumberRequest(int ch) override {
        m_log.push_back(fmt::format("aon request({})", ch));
    }
    uint32_t AonFlags(int) const override { return m_aonFlags; }
    void OnAllocationFailed() override { m_log.push_back("allocation failed"); }

    std::string m_dtmf;
    std::string m_caller;
    uint32_t m_category = 0;
    uint32_t m_aonFlags = 0;

private:
    CallLog& m_log;
};

}  // namespace zorv::test
