// The call metadata record: carried inside every record file (its "SHDR"
// chunk), in the archiver's queue and to the record database.
//
// 1013 bytes, packed, integers little-endian; text fields are windows-1251,
// zero-terminated inside their size, the rest zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace zorv {

// Values of Format: the record's status.
enum DbRecordFormat : uint32_t {
    kFormatPcm = 0,        // finished, recorded as PCM
    kFormatConverted = 1,  // converted by the compressor
    kFormatRecording = 4,  // entered at its start, still being written
    kFormatWaiting = 5,    // finished, waiting for the compressor
};

#pragma pack(push, 1)
struct tagDB_Record {
    uint32_t year;  // start date and time, local time
    uint32_t mon;
    uint32_t day;
    uint32_t hour;  // 99: a call without a recording
    uint32_t min;
    uint32_t sec;
    uint32_t rhour;  // time of day the line started ringing
    uint32_t rmin;
    uint32_t rsec;
    uint32_t dhour;  // duration; hours not wrapped at 24
    uint32_t dmin;
    uint32_t dsek;
    uint32_t NChanel;  // line number within the server
    uint32_t Format;   // see DbRecordFormat
    uint32_t inout;    // line state of the call; 12 for a monitor record
    uint32_t isFax;
    uint32_t deviceSerialNumber;
    uint32_t deviceChannelNo;
    char serverName[21];
    char TlfString_1[41];  // caller number
    uint32_t Category_1;
    char TlfString_2[41];  // called (dialled) number
    uint32_t Category_2;
    char alias[21];
    char namefile[256];  // full path of the record file
    char Remark[256];
    char extraInfo[41];
    char document[256];
};
#pragma pack(pop)

static_assert(sizeof(tagDB_Record) == 1013);
static_assert(offsetof(tagDB_Record, NChanel) == 48);
static_assert(offsetof(tagDB_Record, Format) == 52);
static_assert(offsetof(tagDB_Record, deviceChannelNo) == 68);
static_assert(offsetof(tagDB_Record, serverName) == 72);
static_assert(offsetof(tagDB_Record, TlfString_1) == 93);
static_assert(offsetof(tagDB_Record, Category_1) == 134);
static_assert(offsetof(tagDB_Record, TlfString_2) == 138);
static_assert(offsetof(tagDB_Record, Category_2) == 179);
static_assert(offsetof(tagDB_Record, alias) == 183);
static_assert(offsetof(tagDB_Record, namefile) == 204);
static_assert(offsetof(tagDB_Record, Remark) == 460);
static_assert(offsetof(tagDB_Record, extraInfo) == 716);
static_assert(offsetof(tagDB_Record, document) == 757);

// The record's start date and time.
inline void SetStartTime(tagDB_Record& record, const LocalTime& t) {
    record.year = static_cast<uint32_t>(t.year);
    record.mon = static_cast<uint32_t>(t.month);
    record.day = static_cast<uint32_t>(t.day);
    record.hour = static_cast<uint32_t>(t.hour);
    record.min = static_cast<uint32_t>(t.minute);
    record.sec = static_cast<uint32_t>(t.second);
}

// The time of day the line started ringing.
inline void SetRingTime(tagDB_Record& record, const LocalTime& t) {
    record.rhour = static_cast<uint32_t>(t.hour);
    record.rmin = static_cast<uint32_t>(t.minute);
    record.rsec = static_cast<uint32_t>(t.second);
}

// The record's length in hours, minutes and seconds.
inline void SetDuration(tagDB_Record& record, uint64_t seconds) {
    record.dhour = static_cast<uint32_t>(seconds / 3600);
    record.dmin = static_cast<uint32_t>(seconds % 3600 / 60);
    record.dsek = static_cast<uint32_t>(seconds % 60);
}

// Copies text into a fixed text field: at most N - 1 bytes, zero-filled.
template <std::size_t N>
void SetText(char (&field)[N], std::string_view text) {
    const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, N - n);
}

// The text of a fixed field, up to its first zero (never past its end).
template <std::size_t N>
std::string GetText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

}  // namespace zorv
