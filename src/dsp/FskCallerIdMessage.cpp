#include "dsp/FskCallerIdMessage.h"

#include <algorithm>
#include <cstring>

namespace zorv {

namespace {

constexpr uint8_t kParamDateTime = 1;
constexpr uint8_t kParamNumber = 2;
constexpr uint8_t kParamNumberAbsent = 4;
constexpr uint8_t kParamName = 7;
constexpr uint8_t kParamNameAbsent = 8;

// Texts go to records, file metadata and the journal: control characters
// from the line are shown as '?'.
char Printable(uint8_t byte) {
    return (byte < 0x20 || byte == 0x7F) ? '?' : static_cast<char>(byte);
}

// Copies at most capacity - 1 bytes and terminates.
template <std::size_t N>
void CopyText(char (&to)[N], const uint8_t* from, std::size_t count) {
    count = std::min(count, N - 1);
    for (std::size_t i = 0; i < count; ++i) {
        to[i] = Printable(from[i]);
    }
    to[count] = '\0';
}

template <std::size_t N>
void SetText(char (&to)[N], const char* text) {
    static_assert(N > 11, "room for \"Out of area\"");
    std::strncpy(to, text, N - 1);
    to[N - 1] = '\0';
}

// 'P' and 'O' name why a number or name is absent; other letters say nothing.
const char* AbsenceText(uint8_t letter) {
    if (letter == 'P') {
        return "Private";
    }
    if (letter == 'O') {
        return "Out of area";
    }
    return nullptr;
}

// value holds month, day, hour, minute as two characters each.
void SetDateTime(FskCallerIdFields& fields, const uint8_t* value) {
    fields.date[0] = Printable(value[2]);
    fields.date[1] = Printable(value[3]);
    fields.date[2] = '.';
    fields.date[3] = Printable(value[0]);
    fields.date[4] = Printable(value[1]);
    fields.date[5] = '\0';
    fields.time[0] = Printable(value[4]);
    fields.time[1] = Printable(value[5]);
    fields.time[2] = ':';
    fields.time[3] = Printable(value[6]);
    fields.time[4] = Printable(value[7]);
    fields.time[5] = '\0';
}

void ParseSingleData(const uint8_t* body, std::size_t length, FskCallerIdFields& fields) {
    SetDateTime(fields, body);
    const uint8_t* number = body + 8;
    const std::size_t numberLength = length - 8;
    const char* absent = AbsenceText(number[0]);
    if (absent != nullptr) {
        SetText(fields.number, absent);
    } else {
        CopyText(fields.number, number, numberLength);
    }
}

void ParseMultipleData(const uint8_t* body, std::size_t length, FskCallerIdFields& fields) {
    const char* numberAbsent = nullptr;
    std::size_t pos = 0;
    while (pos + 2 <= length) {
        const uint8_t type = body[pos];
        const std::size_t paramLength = body[pos + 1];
        const uint8_t* value = body + pos + 2;
        if (paramLength > length - pos - 2) {
            break;  // runs past the message
        }
        switch (type) {
            case kParamDateTime:
                if (paramLength >= 8) {
                    SetDateTime(fields, value);
                }
                break;
            case kParamNumber:
                CopyText(fields.number, value, paramLength);
                break;
            case kParamNumberAbsent:
                if (paramLength >= 1) {
                    numberAbsent = AbsenceText(value[0]);
                }
                break;
            case kParamName:
                CopyText(fields.name, value, paramLength);
                break;
            case kParamNameAbsent:
                if (paramLength >= 1 && AbsenceText(value[0]) != nullptr) {
                    SetText(fields.name, AbsenceText(value[0]));
                }
                break;
            default:
                break;
        }
        pos += 2 + paramLength;
    }
    if (fields.number[0] == '\0' && numberAbsent != nullptr) {
        SetText(fields.number, numberAbsent);
    }
}

}  // namespace

FskCallerIdError ParseFskCallerIdMessage(const uint8_t* bytes, std::size_t size,
                                         FskCallerIdFields& fields) {
    fields = FskCallerIdFields{};
    if (bytes == nullptr || size < 3) {
        return kFskErrorTruncated;
    }
    const uint8_t type = bytes[0];
    if (type != kFskSingleDataMessage && type != kFskMultipleDataMessage) {
        return kFskErrorType;
    }
    const std::size_t length = bytes[1];
    if (size < length + 3) {
        return kFskErrorTruncated;
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i < length + 3; ++i) {
        sum += bytes[i];
    }
    if ((sum & 0xFF) != 0) {
        return kFskErrorChecksum;
    }
    if (type == kFskSingleDataMessage) {
        if (length < 9) {
            return kFskErrorShortSdmf;
        }
        ParseSingleData(bytes + 2, length, fields);
    } else {
        ParseMultipleData(bytes + 2, length, fields);
    }
    return kFskErrorNone;
}

}  // namespace zorv
