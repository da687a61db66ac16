// Splits a board's record stream into records by the stream's own layout:
// two header bytes (bit 7 of the first clear, the second 0x47), 4-byte event
// records (bit 3 set) and audio records of the board's length. A position
// that does not start a record is reported as one invalid byte; a record cut
// by the end of the data is reported as partial.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "devices/DspProtocol.h"

namespace zorv::test {

struct StreamRecord {
    enum Kind { Audio, Event, Invalid, Partial };

    static StreamRecord At(Kind kind, std::size_t offset) {
        StreamRecord record;
        record.kind = kind;
        record.offset = offset;
        return record;
    }

    Kind kind = Invalid;
    std::size_t offset = 0;
    int group = 0;                 // bits 0-1 of the first byte
    int channel = 0;               // events: bits 4-7 of the first byte
    uint8_t value = 0;             // events
    uint8_t code = 0;              // events
    std::vector<int16_t> samples;  // audio: the record's samples in order
    uint8_t byte = 0;              // invalid: the byte
};

inline std::vector<StreamRecord> SplitStream(std::span<const uint8_t> bytes,
                                             std::size_t audioLength) {
    std::vector<StreamRecord> records;
    std::size_t p = 0;
    while (p < bytes.size()) {
        if (p + 1 >= bytes.size()) {
            records.push_back(StreamRecord::At(StreamRecord::Partial, p));
            break;
        }
        if ((bytes[p] & kRecordInvalidFlag) != 0 || bytes[p + 1] != kRecordMark) {
            StreamRecord invalid = StreamRecord::At(StreamRecord::Invalid, p);
            invalid.byte = bytes[p];
            records.push_back(invalid);
            ++p;
            continue;
        }
        const bool event = (bytes[p] & kRecordEventFlag) != 0;
        const std::size_t length = event ? kEventRecordLength : audioLength;
        if (p + length > bytes.size()) {
            records.push_back(StreamRecord::At(StreamRecord::Partial, p));
            break;
        }
        StreamRecord record =
            StreamRecord::At(event ? StreamRecord::Event : StreamRecord::Audio, p);
        record.group = bytes[p] & kRecordGroupMask;
        if (event) {
            record.channel = bytes[p] >> kRecordChannelShift;
            record.value = bytes[p + 2];
            record.code = bytes[p + 3];
        } else {
            for (std::size_t i = 2; i < length; i += 2) {
                record.samples.push_back(
                    static_cast<int16_t>(bytes[p + i] | (bytes[p + i + 1] << 8)));
            }
        }
        records.push_back(std::move(record));
        p += length;
    }
    return records;
}

}  // namespace zorv::test
