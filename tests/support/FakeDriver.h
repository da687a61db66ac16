// A device driver for tests of the device side: a fixed channel layout, a
// stream the test queues, and a log of the commands the device gives.
#pragma once

#include <fmt/format.h>

#include <array>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "devices/DeviceDriver.h"
#include "devices/DspProtocol.h"
#include "platform/AutoResetEvent.h"

namespace zorv::test {

class CFakeDriver final : public CDeviceDriver {
public:
    CFakeDriver(std::array<int, kMaxGroups> channels, uint32_t infoWord = 0x00012066)
        : m_channels(channels), m_infoWord(infoWord) {}

    bool Open(int) override { return m_open = m_present; }
    void Close() override { m_open = false; }
    bool IsOpen() const override { return m_open; }
    bool StopTransfer() override { return Log("StopTransfer"); }
    uint32_t GetSerialNumber() override { return m_serial; }
    bool GetHardwareInfo(tagHARDWARE_CONFIG& info) override {
        info = tagHARDWARE_CONFIG{};
        info.BoardID = m_infoWord;
        info.DeviceType = 1;
        info.SerialNumber = m_serial;
        return true;
    }
    bool Read(void* buffer, std::size_t size, std::size_t& n) override {
        std::lock_guard lock(m_lock);
        n = std::min(size, m_stream.size());
        std::copy(m_stream.begin(), m_stream.begin() + static_cast<long>(n),
                  static_cast<uint8_t*>(buffer));
        m_stream.erase(m_stream.begin(), m_stream.begin() + static_cast<long>(n));
        return !m_failReads;
    }
    bool Write(const void*, std::size_t size, std::size_t& n) override {
        n = size;
        return true;
    }
    int GetChannelCount() override { return m_channels[0] + m_channels[1] + m_channels[2]; }
    int GetDeviceType() override { return 1; }
    bool MapRegisters() override { return true; }
    bool StartTransfer(uint32_t, CAutoResetEvent* event) override {
        std::lock_guard lock(m_lock);
        m_event = event;
        return Log("StartTransfer");
    }
    bool WriteGroupConfig(int group, const uint16_t (&words)[8]) override {
        Log(fmt::format("WriteGroupConfig({},{:#x},{:#x})", group, words[0], words[2]));
        return !m_failConfig;
    }
    bool SetEnableBit(int bit, bool on) override {
        return Log(fmt::format("SetEnableBit({},{})", bit, on ? 1 : 0));
    }
    bool ResetBoard() override { return true; }
    bool StopGroup(int group) override { return Log(fmt::format("StopGroup({})", group)); }
    uint32_t ReadStatus() override { return 0; }
    bool ChannelCommand(int channel, int command, int value) override {
        // Commands by name, so that expectations read as the protocol does.
        const std::string_view name = DspCommandName(command);
        return name.empty() ? Log(fmt::format("cmd({},{},{})", channel, command, value))
                            : Log(fmt::format("cmd({},{},{})", channel, name, value));
    }
    bool IsLocalHardware() override { return true; }
    int StartDevice(uint32_t, CAutoResetEvent*, uint32_t, CAutoResetEvent*) override {
        Log("StartDevice");
        return 0;
    }
    bool AfterRestart() override { return true; }
    void SetDeviceIndex(int) override {}
    std::size_t FillAfterTimeout(void*, std::size_t, std::size_t) override { return 0; }
    std::size_t FillAfterLoss(void*, std::size_t) override { return 0; }
    bool Resync() override { return Log("Resync"); }
    int GroupChannelCount(int group) const override {
        return m_channels[static_cast<std::size_t>(group)];
    }
    int GroupFirstChannel(int group) const override {
        int first = 0;
        for (int g = 0; g < group; ++g) {
            first += m_channels[static_cast<std::size_t>(g)];
        }
        return first;
    }

    // Queues stream bytes and wakes the reading thread.
    void Push(const std::vector<uint8_t>& bytes) {
        std::lock_guard lock(m_lock);
        m_stream.insert(m_stream.end(), bytes.begin(), bytes.end());
        if (m_event != nullptr) {
            m_event->Set();
        }
    }
    std::vector<std::string> Log() {
        std::lock_guard lock(m_logLock);
        return m_log;
    }
    std::size_t Pending() {
        std::lock_guard lock(m_lock);
        return m_stream.size();
    }

    bool m_present = true;
    bool m_failConfig = false;
    bool m_failReads = false;
    uint32_t m_serial = 0;

private:
    bool Log(const std::string& entry) {
        std::lock_guard lock(m_logLock);
        m_log.push_back(entry);
        return true;
    }

    std::array<int, kMaxGroups> m_channels;
    uint32_t m_infoWord;
    bool m_open = false;
    std::mutex m_lock;
    std::mutex m_logLock;
    std::deque<uint8_t> m_stream;
    CAutoResetEvent* m_event = nullptr;
    std::vector<std::string> m_log;
};

}  // namespace zorv::test
