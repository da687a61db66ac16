#include "devices/RecordStreamParser.h"

#include <algorithm>
#include <cstring>

namespace zorv {

CRecordStreamParser::CRecordStreamParser(IRecordStreamSink& sink) : m_sink(sink) {}

void CRecordStreamParser::Configure(int audioLength, const std::array<int, kMaxGroups>& groupChannels,
                                    const std::array<int, kMaxGroups>& groupFirst) {
    m_audioLength = audioLength == kLongAudioLength ? kLongAudioLength : kShortAudioLength;
    for (int g = 0; g < kMaxGroups; ++g) {
        const size_t i = static_cast<size_t>(g);
        m_groupChannels[i] = std::clamp(groupChannels[i], 0, kMaxGroupChannels);
        m_groupFirst[i] = std::clamp(groupFirst[i], 0, kMaxGroups * kMaxGroupChannels);
        if (m_groupFirst[i] + m_groupChannels[i] > kMaxGroups * kMaxGroupChannels) {
            m_groupChannels[i] = 0;
        }
    }
    Reset();
}

void CRecordStreamParser::SetBlockSamples(int group, int samples) {
    if (group < 0 || group >= kMaxGroups) {
        return;
    }
    m_blockSamples[static_cast<size_t>(group)] = std::clamp(samples, 1, kMaxBlockSamples);
    ResetGroup(group);
}

void CRecordStreamParser::ResetGroup(int group) {
    if (group >= 0 && group < kMaxGroups) {
        m_collected[static_cast<size_t>(group)] = 0;
    }
}

void CRecordStreamParser::Reset() {
    for (int g = 0; g < kMaxGroups; ++g) {
        ResetGroup(g);
    }
    m_stagedBytes = 0;
    m_resyncing = false;
    m_pendingRejected = 0;
    m_splitCount = 0;
}

const uint8_t* CRecordStreamParser::View::Bytes(std::size_t i, std::size_t length,
                                                uint8_t* scratch) const {
    if (i + length <= stagedSize) {
        return staged + i;
    }
    if (i >= stagedSize) {
        return data + (i - stagedSize);
    }
    for (std::size_t k = 0; k < length; ++k) {
        scratch[k] = At(i + k);
    }
    return scratch;
}

bool CRecordStreamParser::RecordIsValid(const uint8_t* p) const {
    if ((p[0] & kRecordInvalidFlag) != 0 || p[1] != kRecordMark) {
        return false;
    }
    const int group = p[0] & kRecordGroupMask;
    if (group >= kMaxGroups) {
        return false;
    }
    const int channels = m_groupChannels[static_cast<size_t>(group)];
    if (channels == 0) {
        return false;  // the device has no such group
    }
    if ((p[0] & kRecordEventFlag) != 0) {
        const int field = p[0] >> kRecordChannelShift;
        return field >= kGroupEventField || field < channels;
    }
    return true;
}

bool CRecordStreamParser::AcceptAt(const View& view, std::size_t q) const {
    uint8_t scratch[kLongAudioLength];
    const std::size_t length = static_cast<std::size_t>(RecordLength(view.At(q)));
    if (!RecordIsValid(view.Bytes(q, length, scratch))) {
        return false;
    }
    const std::size_t next = q + length;
    return (view.At(next) & kRecordInvalidFlag) == 0 && view.At(next + 1) == kRecordMark;
}

std::size_t CRecordStreamParser::ResyncFrom(const View& view, std::size_t q, bool& found) {
    // A candidate is judged with the record after it, so it needs that many
    // bytes behind it; what is left is judged after the next read.
    const std::size_t size = view.Size();
    while (q + static_cast<std::size_t>(m_audioLength) + 1 < size) {
        if (AcceptAt(view, q)) {
            found = true;
            m_resyncing = false;
            const int rejected = m_pendingRejected;
            m_pendingRejected = 0;
            Deliver([&] { m_sink.OnResync(rejected); });
            return q;
        }
        ++m_pendingRejected;
        ++q;
    }
    found = false;
    m_resyncing = true;
    return q;
}

void CRecordStreamParser::Feed(const uint8_t* data, std::size_t size) {
    const View view{m_staged.data(), m_stagedBytes, data, size};
    const std::size_t total = view.Size();
    std::size_t p = 0;
    bool parsing = true;
    if (m_resyncing) {
        bool found = false;
        p = ResyncFrom(view, 0, found);
        parsing = found;
    }
    uint8_t scratch[kLongAudioLength];
    while (parsing && p < total) {
        const std::size_t length = static_cast<std::size_t>(RecordLength(view.At(p)));
        if (p + length > total) {
            break;  // cut by the end of the read: staged below
        }
        const uint8_t* record = view.Bytes(p, length, scratch);
        if (!RecordIsValid(record)) {
            bool found = false;
            p = ResyncFrom(view, p + 1, found);
            parsing = found;
            continue;
        }
        if (p < view.stagedSize && p + length > view.stagedSize &&
            ++m_splitCount >= kSplitLimit) {
            m_splitCount = 0;
            Deliver([&] { m_sink.OnSplitLimit(); });
        }
        ParseRecord(record);
        p += length;
    }
    // Keep the rest (at most one record, or what a resync could not judge).
    const std::size_t rest = total - std::min(p, total);
    uint8_t kept[sizeof m_staged];
    const std::size_t keep = std::min(rest, sizeof m_staged);
    for (std::size_t k = 0; k < keep; ++k) {
        kept[k] = view.At(total - keep + k);
    }
    std::memcpy(m_staged.data(), kept, keep);
    m_stagedBytes = keep;
}

template <typename Call>
void CRecordStreamParser::Deliver(Call&& call) noexcept {
    try {
        call();
    } catch (...) {
        m_sink.OnSinkFailure();
    }
}

void CRecordStreamParser::ParseRecord(const uint8_t* p) {
    const int group = p[0] & kRecordGroupMask;
    if ((p[0] & kRecordEventFlag) != 0) {
        Deliver([&] { m_sink.OnEvent(group, p[0] >> kRecordChannelShift, p[2], p[3]); });
        return;
    }
    CompleteBlockIfDue(group);
    StoreAudio(group, p);
}

void CRecordStreamParser::CompleteBlockIfDue(int group) {
    const size_t g = static_cast<size_t>(group);
    const int block = m_blockSamples[g];
    // One record adds at most twelve samples to a channel; blocks shorter
    // than that may be due more than once.
    while (m_collected[g] >= block) {
        Deliver([&] { m_sink.OnBlock(group); });
        // Samples beyond the block move to the front for the next block.
        const int channels = m_groupChannels[g];
        const int keep = m_collected[g] - block;
        for (int k = 0; k < channels; ++k) {
            auto& samples = m_samples[static_cast<size_t>(m_groupFirst[g] + k)];
            std::memmove(samples.data(), samples.data() + block,
                         static_cast<size_t>(keep) * sizeof(int16_t));
        }
        m_collected[g] -= block;
    }
}

void CRecordStreamParser::StoreAudio(int group, const uint8_t* p) {
    const size_t g = static_cast<size_t>(group);
    const int channels = m_groupChannels[g];
    const int first = m_groupFirst[g];
    auto sampleAt = [p](int k) {
        return static_cast<int16_t>(static_cast<uint16_t>(p[2 + 2 * k]) |
                                    static_cast<uint16_t>(p[3 + 2 * k]) << 8);
    };
    if (m_audioLength == kShortAudioLength) {
        for (int k = 0; k < channels; ++k) {
            m_samples[static_cast<size_t>(first + k)][static_cast<size_t>(m_collected[g])] =
                sampleAt(k);
        }
        ++m_collected[g];
        return;
    }
    // Every record deals from the group's first channel; a round the record
    // cuts short is dealt again, whole, by the next record.
    const int rounds = 12 / channels;
    for (int r = 0; r < rounds; ++r) {
        const auto at = static_cast<size_t>(m_collected[g] + r);
        for (int k = 0; k < channels; ++k) {
            m_samples[static_cast<size_t>(first + k)][at] = sampleAt(r * channels + k);
        }
    }
    m_collected[g] += rounds;
}

}  // namespace zorv
