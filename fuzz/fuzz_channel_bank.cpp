// The channels of a device take parameter records from clients and from the
// settings file, and blocks and line events from the hardware, in any order.
// Any sequence of them must run without a fault, and after every step:
// - stereo pairs are whole: a channel in Mode 2 or 3 names a partner whose
//   record names it back;
// - each channel's handler is the one its record and state call for;
// - a record is open only while its channel records (State 1);
// - every record holds only the audio of its own line (a stereo record: the
//   master's at even, the slave's at odd sample positions).
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "channels/ChannelBank.h"

namespace {

using zorv::CChannelBank;

constexpr int kChannels = 6;

// Every sample a channel delivers carries its line's tag.
int16_t TagOf(int channel) {
    return static_cast<int16_t>(1000 * (channel + 1));
}

void Check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

class CNullServer final : public zorv::IServer {
public:
    bool Post(int32_t, int32_t, int32_t, int32_t) override { return true; }
    void WriteJournal(int, std::string_view) override {}
};

class CNullHooks final : public zorv::IChannelHooks {};

// Checks each write against the lines the open record belongs to.
class CCheckingRecorder final : public zorv::IChannelRecorder {
public:
    CChannelBank* bank = nullptr;

    void PrepareFormat(int channel, int, uint32_t) override { Check(Valid(channel)); }
    zorv::tagDB_Record& Metadata(int channel) override {
        Check(Valid(channel));
        return m_meta[static_cast<size_t>(channel)];
    }
    // The bank calls it under its channel lock.
    bool OpenRecord(int channel, const zorv::RecordStart& start) override REQUIRES(bank->Lock()) {
        Check(Valid(channel));
        Record& r = m_records[static_cast<size_t>(channel)];
        r.open = true;
        r.left = TagOf(channel);
        r.right = r.left;
        r.stereo = start.audioChannels == 2;
        r.samples = 0;
        if (r.stereo) {
            // Called under the channel lock: the record is read directly.
            const zorv::tagChanelParam& p = bank->ParamLocked(channel);
            Check(p.Mode == zorv::kModeStereoMaster && p.SlaveChannel < kChannels);
            r.right = TagOf(static_cast<int>(p.SlaveChannel));
        }
        return true;
    }
    bool IsRecordOpen(int channel) const override {
        Check(Valid(channel));
        return m_records[static_cast<size_t>(channel)].open;
    }
    size_t WriteRecord(int channel, const void* data, size_t bytes) override {
        Check(Valid(channel));
        Record& r = m_records[static_cast<size_t>(channel)];
        Check(r.open);
        const auto* p = static_cast<const uint8_t*>(data);
        for (size_t i = 0; i + 2 <= bytes; i += 2, ++r.samples) {
            int16_t s;
            std::memcpy(&s, p + i, 2);
            const int16_t expected = r.stereo && r.samples % 2 == 1 ? r.right : r.left;
            Check(s == 0 || s == expected);
        }
        return bytes;
    }
    void FinishRecord(int channel) override {
        Check(Valid(channel));
        Check(m_records[static_cast<size_t>(channel)].open);
        m_records[static_cast<size_t>(channel)].open = false;
        m_meta[static_cast<size_t>(channel)] = zorv::tagDB_Record{};
    }
    void SetMute(int channel, bool) override { Check(Valid(channel)); }
    bool GetMute(int channel) const override {
        Check(Valid(channel));
        return false;
    }
    void AddCallWithoutFile(const zorv::tagDB_Record&) override {}

private:
    struct Record {
        bool open = false;
        bool stereo = false;
        int16_t left = 0;
        int16_t right = 0;
        uint64_t samples = 0;
    };
    static bool Valid(int channel) { return channel >= 0 && channel < kChannels; }
    std::array<Record, kChannels> m_records{};
    std::array<zorv::tagDB_Record, kChannels> m_meta{};
};

class CReader {
public:
    CReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_pos >= m_size; }
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint32_t Word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<uint32_t>(Byte()) << (8 * i);
        }
        return v;
    }
    // A channel index, now and then one outside the device.
    int Channel() { return static_cast<int>(Byte() % (kChannels + 2)) - 1; }
    // Mostly meaningful values, sometimes any word.
    uint32_t Value(std::initializer_list<uint32_t> usual) {
        const uint8_t pick = Byte();
        if (pick >= usual.size() * 32) {
            return Word();
        }
        return *(usual.begin() + pick % usual.size());
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

size_t BlockSamples(uint32_t rate) {
    switch (rate) {
        case 8000:
            return 64;
        case 16000:
            return 128;
        case 32000:
            return 256;
        default:
            return 512;
    }
}

void CheckChannels(CChannelBank& bank, const CCheckingRecorder& recorder) {
    std::array<zorv::tagChanelParam, kChannels> params{};
    for (int ch = 0; ch < kChannels; ++ch) {
        Check(bank.GetChannelParam(ch, params[static_cast<size_t>(ch)]));
    }
    for (int ch = 0; ch < kChannels; ++ch) {
        const zorv::tagChanelParam& p = params[static_cast<size_t>(ch)];
        const zorv::tagChanelState s = bank.GetChannelState(ch);
        const CChannelBank::Handler h = bank.HandlerOf(ch);
        if (p.Mode == zorv::kModeStereoMaster || p.Mode == zorv::kModeStereoSlave) {
            Check(p.SlaveChannel < kChannels && p.SlaveChannel != static_cast<uint32_t>(ch));
            const zorv::tagChanelParam& q = params[p.SlaveChannel];
            Check(q.SlaveChannel == static_cast<uint32_t>(ch));
            Check(q.Mode == (p.Mode == zorv::kModeStereoMaster ? zorv::kModeStereoSlave
                                                               : zorv::kModeStereoMaster));
            Check(h == CChannelBank::Handler::kIdle || h == CChannelBank::Handler::kStereoLow ||
                  h == CChannelBank::Handler::kStereoHigh);
            if (h != CChannelBank::Handler::kIdle) {
                const bool low = static_cast<uint32_t>(ch) < p.SlaveChannel;
                Check(h == (low ? CChannelBank::Handler::kStereoLow
                                : CChannelBank::Handler::kStereoHigh));
            }
            Check(p.Mode == zorv::kModeStereoMaster || !recorder.IsRecordOpen(ch));
        } else {
            Check(p.Mode == zorv::kModeMono && p.SlaveChannel == 0);
            Check(h != CChannelBank::Handler::kStereoLow &&
                  h != CChannelBank::Handler::kStereoHigh);
            if (h == CChannelBank::Handler::kLevel) {
                Check(p.Enable == 1 && zorv::IsLevelActivation(p.Activate));
            }
            if (h == CChannelBank::Handler::kLineRecording) {
                Check(p.Activate == zorv::kActivateLine && s.State == 1);
            }
            if (p.Enable == 1 && zorv::IsLevelActivation(p.Activate)) {
                // A channel of a failed group takes no blocks until re-armed.
                Check(h == CChannelBank::Handler::kLevel ||
                      (h == CChannelBank::Handler::kIdle && s.StateLine == zorv::CS_DSP_FAULT));
            }
        }
        if (recorder.IsRecordOpen(ch)) {
            Check(s.State == 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CNullServer server;
    CNullHooks hooks;
    CCheckingRecorder recorder;
    zorv::CManualClock clock;
    CChannelBank bank(server, recorder, hooks, clock, 0, 0, kChannels);
    recorder.bank = &bank;
    CReader in(data, size);
    std::vector<int16_t> samples(512);
    int blocksLeft = 20000;  // bounds the work of one input
    while (!in.Empty()) {
        const uint8_t op = in.Byte() % 20;
        switch (op) {
            case 0: {  // a whole record, as a client sends it
                const int ch = in.Channel();
                zorv::tagChanelParam p{};
                uint8_t raw[sizeof p];
                for (uint8_t& b : raw) {
                    b = in.Byte();
                }
                std::memcpy(&p, raw, sizeof p);
                if (in.Byte() & 1) {  // a plausible record with a plausible pair
                    p.Enable = 1;
                    p.Activate = 1 + p.Activate % 3;
                    p.TOn %= 51;
                    p.TOff %= 6;
                    p.SampleRate = 8000u << (p.SampleRate % 4);
                    p.Mode = 1 + p.Mode % 3;
                    p.SlaveChannel %= kChannels + 1;
                }
                bank.SetChannelParam(ch, p);
                break;
            }
            case 1:
                bank.SetEnable(in.Channel(), in.Channel(), static_cast<int32_t>(in.Value({0, 1})),
                               false);
                break;
            case 2:
                bank.SetActivate(in.Channel(), in.Channel(), in.Value({1, 2, 3}), false);
                break;
            case 3:
                bank.SetCompress(in.Channel(), in.Channel(), in.Value({0, 1}), false);
                break;
            case 4:
                bank.SetTOn(in.Channel(), in.Channel(), in.Value({0, 1, 5, 20, 50}), false);
                break;
            case 5:
                bank.SetTOff(in.Channel(), in.Channel(), in.Value({0, 1, 2}), false);
                break;
            case 6:
                bank.SetTreshold(in.Channel(), in.Channel(), in.Value({0, 100, 3276, 32768}),
                                 false);
                break;
            case 7:
                bank.SetSampleRate(in.Channel(), in.Channel(),
                                   in.Value({8000, 16000, 32000, 64000}), false);
                break;
            case 8:
                bank.SetStereo(in.Channel(), in.Channel(), false);
                break;
            case 9:
                bank.UndoStereo(in.Channel(), in.Channel(), false);
                break;
            case 10: {
                zorv::DefaultParams d;
                d.compression = in.Value({0, 1});
                d.tOn = in.Value({0, 1, 10});
                d.tOff = in.Value({0, 1});
                d.treshold = in.Value({100, 3276});
                bank.ApplyDefaults(d, in.Channel(), in.Channel());
                break;
            }
            case 11:
                bank.ManualActivate(in.Channel(), in.Byte() & 1);
                break;
            case 12:
                bank.StopRecord(in.Channel());
                break;
            case 13:
                if (in.Byte() & 1) {
                    bank.StopAllRecords();
                } else {
                    bank.ReleaseManualActivations();
                }
                break;
            case 14:
            case 15: {  // blocks of every channel, each loud or quiet
                const int blocks = 1 + in.Byte() % 200;
                const uint8_t loud = in.Byte();
                for (int b = 0; b < blocks && blocksLeft > 0; ++b, --blocksLeft) {
                    zorv::CMutexLock lock(bank.Lock());
                    for (int ch = 0; ch < kChannels; ++ch) {
                        const size_t count = BlockSamples(bank.ParamLocked(ch).SampleRate);
                        std::fill(samples.begin(), samples.begin() + static_cast<long>(count),
                                  TagOf(ch));
                        const uint32_t level = (loud >> ch) & 1 ? 20000 : 0;
                        bank.DeliverBlockLocked(ch, samples.data(), count, level);
                    }
                }
                break;
            }
            case 16: {
                zorv::CMutexLock lock(bank.Lock());
                bank.LineEventLocked(in.Channel(), static_cast<int>(in.Byte() % 6));
                break;
            }
            case 17: {
                zorv::CMutexLock lock(bank.Lock());
                bank.DigitEventLocked(in.Channel(), static_cast<int>(in.Byte() % 17));
                break;
            }
            case 18: {
                zorv::CMutexLock lock(bank.Lock());
                if (in.Byte() & 1) {
                    bank.MarkFaultLocked(in.Channel());
                } else {
                    bank.ClearFaultLocked(in.Channel());
                }
                break;
            }
            default: {
                zorv::CMutexLock lock(bank.Lock());
                CChannelBank::DeviceValues& v = bank.Values();
                v.maxRecordSeconds = in.Byte() % 4;
                v.continueAfterSplit = in.Byte() & 1;
                v.recordFromRing = in.Byte() & 1;
                break;
            }
        }
        CheckChannels(bank, recorder);
    }
    bank.StopAllRecords();
    CheckChannels(bank, recorder);
    return 0;
}
