// Builds record streams as a board sends them: audio records of 14 or 26
// bytes and 4-byte event records.
#pragma once

#include <cstdint>
#include <vector>

#include "devices/DspProtocol.h"

namespace zorv::test {

class CStreamBuilder {
public:
    // channels: the channel count of each group.
    CStreamBuilder(int audioLength, std::vector<int> channels)
        : m_audioLength(audioLength),
          m_channels(std::move(channels)),
          m_period(m_channels.size()) {}

    // Audio records of one group until every channel got `samples` samples;
    // sample value = base + channel within the group * 1000 + sample index.
    CStreamBuilder& Audio(int group, int samples, int16_t base = 0) {
        const int channels = m_channels[static_cast<size_t>(group)];
        if (m_audioLength == kShortAudioRecordLength) {
            for (int s = 0; s < samples; ++s) {
                Header(group, false);
                for (int k = 0; k < 6; ++k) {
                    Sample(k < channels ? static_cast<int16_t>(base + k * 1000 + s) : 0);
                }
            }
            return *this;
        }
        // Twelve samples per record, dealt round-robin from the group's first
        // channel in every record: whole rounds of sample periods, then the
        // start of the next period, which the next record deals again.
        int& period = m_period[static_cast<size_t>(group)];
        const int rounds = 12 / channels;
        for (int done = 0; done < samples; done += rounds) {
            Header(group, false);
            for (int k = 0; k < 12; ++k) {
                const int channel = k % channels;
                const int index = period + k / channels;
                Sample(static_cast<int16_t>(base + channel * 1000 + index));
            }
            period += rounds;
        }
        return *this;
    }
    CStreamBuilder& Event(int group, int channelField, uint8_t value, uint8_t code) {
        m_bytes.push_back(EventRecordHeader(group, channelField));
        m_bytes.push_back(kRecordMark);
        m_bytes.push_back(value);
        m_bytes.push_back(code);
        return *this;
    }
    CStreamBuilder& Raw(std::vector<uint8_t> bytes) {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        return *this;
    }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

private:
    void Header(int group, bool event) {
        m_bytes.push_back(static_cast<uint8_t>((event ? kRecordEventFlag : 0) | group));
        m_bytes.push_back(kRecordMark);
    }
    void Sample(int16_t value) {
        const auto u = static_cast<uint16_t>(value);
        m_bytes.push_back(static_cast<uint8_t>(u & 0xFF));
        m_bytes.push_back(static_cast<uint8_t>(u >> 8));
    }

    int m_audioLength;
    std::vector<int> m_channels;
    std::vector<uint8_t> m_bytes;
    std::vector<int> m_period;  // per group: sample periods sent so far (26-byte records)
};

}  // namespace zorv::test
