// The record stream of a board (and of the older network transcoder): audio
// records and event records, parsed into per-channel blocks and events.
//
// Every record starts with a header byte (bit 7 clear; bit 3 set for an event
// record; bits 0-1 the group; bits 4-7 the channel within the group in event
// records) and the byte 0x47. An event record is 4 bytes (header, 0x47, value,
// code). An audio record is 14 bytes (six samples, one per channel of the
// group) or 26 bytes (twelve samples dealt round-robin over the group's
// channels, starting with the group's first channel in every record; each
// whole round is one sample period of the group, and the samples of a round
// that the record's end cuts short are dropped: the next record deals that
// period again from the first channel).
//
// Reads may end inside a record: the first bytes are staged and the record is
// completed from the next read, only when all its bytes have arrived.
// Anything that is not a record (a bad header, group 3, a group without
// channels, an event for a channel the group does not have) makes the parser
// search for the next position where two records in a row look valid; the
// bytes passed over are reported.
//
// An exception thrown by the sink while it handles one record is caught
// here and reported through OnSinkFailure; that record counts as handled and
// parsing goes on with the next one, so the state stays that of a stream
// without the failure.
//
// The parser is not thread-safe: one thread (the device's reading thread)
// owns it and makes every call, reconfiguration and reset included. Feeding
// allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "devices/DeviceDriver.h"
#include "devices/DspProtocol.h"

namespace zorv {

class IRecordStreamSink {
public:
    virtual ~IRecordStreamSink() = default;
    // The group has collected a whole block: BlockSamples(group) samples of
    // each of its channels are in ChannelSamples(channel).
    virtual void OnBlock(int group) = 0;
    // An event record; channelField >= 6 marks a group event.
    virtual void OnEvent(int group, int channelField, uint8_t value, uint8_t code) = 0;
    // The stream was resynchronised after rejecting that many positions.
    virtual void OnResync(int rejectedPositions) = 0;
    // Records split across reads reached the count that asks the hardware to
    // resynchronise its stream.
    virtual void OnSplitLimit() = 0;
    // One of the calls above threw; called inside the handler, so the
    // exception is the current one. Must not throw.
    virtual void OnSinkFailure() = 0;
};

class CRecordStreamParser {
public:
    static constexpr int kEventLength = kEventRecordLength;
    static constexpr int kShortAudioLength = kShortAudioRecordLength;
    static constexpr int kLongAudioLength = kLongAudioRecordLength;
    static constexpr int kMaxBlockSamples = 512;
    // Room for a block and the whole rounds of one record beyond it.
    static constexpr int kChannelBufferSamples = kMaxBlockSamples + 12;
    static constexpr int kSplitLimit = 150;

    explicit CRecordStreamParser(IRecordStreamSink& sink);

    // The device layout. audioLength: 14 or 26. Clears all state.
    void Configure(int audioLength, const std::array<int, kMaxGroups>& groupChannels,
                   const std::array<int, kMaxGroups>& groupFirst);
    // Samples per block of a group (64, 128, 256 or 512); clears its samples.
    void SetBlockSamples(int group, int samples);
    int BlockSamples(int group) const { return m_blockSamples[static_cast<size_t>(group)]; }
    // Forgets the collected samples of a group.
    void ResetGroup(int group);
    // Forgets the staged record and every group's samples.
    void Reset();

    void Feed(const uint8_t* data, std::size_t size);

    // Positions rejected by a resynchronisation that has not found its next
    // record yet (reported when it does).
    int PendingRejected() const { return m_pendingRejected; }

    // A channel's sample buffer (channels numbered across the groups).
    int16_t* ChannelSamples(int channel) { return m_samples[static_cast<size_t>(channel)].data(); }
    int AudioLength() const { return m_audioLength; }

private:
    // The staged bytes followed by a read, addressed as one sequence.
    struct View {
        const uint8_t* staged;
        std::size_t stagedSize;
        const uint8_t* data;
        std::size_t dataSize;
        std::size_t Size() const { return stagedSize + dataSize; }
        uint8_t At(std::size_t i) const { return i < stagedSize ? staged[i] : data[i - stagedSize]; }
        // length bytes from i, in place or copied into scratch when they
        // span the two parts.
        const uint8_t* Bytes(std::size_t i, std::size_t length, uint8_t* scratch) const;
    };

    // Bytes the record needs, judged by its first byte.
    int RecordLength(uint8_t first) const {
        return (first & kRecordEventFlag) != 0 ? kEventLength : m_audioLength;
    }
    bool RecordIsValid(const uint8_t* p) const;
    bool AcceptAt(const View& view, std::size_t q) const;
    // Searches from q on; returns the position reached and whether a record
    // was found there.
    std::size_t ResyncFrom(const View& view, std::size_t q, bool& found);
    void ParseRecord(const uint8_t* p);
    void StoreAudio(int group, const uint8_t* p);
    void CompleteBlockIfDue(int group);
    // Runs one call of the sink; an exception it throws is reported and ends
    // there.
    template <typename Call>
    void Deliver(Call&& call) noexcept;

    IRecordStreamSink& m_sink;
    int m_audioLength = kShortAudioLength;
    std::array<int, kMaxGroups> m_groupChannels{};
    std::array<int, kMaxGroups> m_groupFirst{};
    std::array<int, kMaxGroups> m_blockSamples{64, 64, 64};
    // Per group: sample periods collected for the current block (up to one
    // record's worth beyond the block, kept for the next).
    std::array<int, kMaxGroups> m_collected{};
    std::array<std::array<int16_t, kChannelBufferSamples>, kMaxGroups * kMaxGroupChannels>
        m_samples{};
    // The unparsed end of the last read: a record cut by the read's end, or
    // the bytes a resynchronisation could not judge yet.
    std::array<uint8_t, 32> m_staged{};
    std::size_t m_stagedBytes = 0;
    bool m_resyncing = false;
    int m_pendingRejected = 0;
    int m_splitCount = 0;
};

}  // namespace zorv
