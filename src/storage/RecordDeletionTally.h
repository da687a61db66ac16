// What one deletion of old records (by size or by age) removed, for its
// journal line: the record files unlinked, their bytes, and the start of the
// oldest and of the newest of them. Rows whose file was already gone, or that
// had none, remove no file and count for nothing here.
//
// A plain value, filled by the deleting thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace zorv {

struct RecordDeletionTally {
    // A record's start: year, month, day, hour, minute, second.
    using Start = std::array<int64_t, 6>;

    uint64_t files = 0;
    uint64_t bytes = 0;
    Start oldest{};  // valid when files > 0
    Start newest{};  // valid when files > 0

    // One more file removed, of a record that started at start.
    void Add(std::span<const int64_t, 6> start, uint64_t fileBytes) {
        Start value{};
        for (std::size_t i = 0; i < value.size(); ++i) {
            value[i] = start[i];
        }
        if (files == 0 || value < oldest) {
            oldest = value;
        }
        if (files == 0 || newest < value) {
            newest = value;
        }
        ++files;
        bytes += fileBytes;
    }
};

}  // namespace zorv
