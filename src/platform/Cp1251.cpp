#include "platform/Cp1251.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace zorv {
namespace {

constexpr char16_t kUndefined = 0xFFFD;

// The characters of bytes 0x80..0xFF. The letters А..я (0xC0..0xFF) are
// U+0410..U+044F in order; the rest is irregular.
constexpr std::array<char16_t, 128> kUpperHalf = {
    // 0x80
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  //
    // 0x90 (0x98 is undefined in the code page)
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,      //
    kUndefined, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  //
    // 0xA0
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  //
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  //
    // 0xB0
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  //
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  //
    // 0xC0
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  //
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  //
    // 0xD0
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  //
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  //
    // 0xE0
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  //
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  //
    // 0xF0
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  //
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  //
};

constexpr char kUnmappable = '?';

// The byte of a character, or '?' when the code page does not hold it.
char FromCodePoint(uint32_t codePoint) {
    if (codePoint < 0x80) {
        return static_cast<char>(codePoint);
    }
    if (codePoint >= 0x0410 && codePoint <= 0x044F) {
        return static_cast<char>(0xC0 + (codePoint - 0x0410));
    }
    // The irregular part 0x80..0xBF; never match the placeholder of 0x98.
    for (std::size_t i = 0; i < 0x40; ++i) {
        if (kUpperHalf[i] != kUndefined && kUpperHalf[i] == codePoint) {
            return static_cast<char>(0x80 + i);
        }
    }
    return kUnmappable;
}

void AppendUtf8(std::string& out, char16_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

}  // namespace

std::string Utf8ToCp1251(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    const std::size_t size = utf8.size();
    std::size_t i = 0;
    while (i < size) {
        const auto lead = static_cast<uint8_t>(utf8[i]);
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        // Number of continuation bytes, the value bits of the lead byte, and
        // the range the first continuation byte must fall in (narrower after
        // E0, ED, F0 and F4 to exclude overlong forms, surrogates and values
        // above U+10FFFF).
        int continuations = 0;
        uint32_t codePoint = 0;
        uint8_t low = 0x80;
        uint8_t high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuations = 1;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            continuations = 2;
            codePoint = lead & 0x0F;
            if (lead == 0xE0) {
                low = 0xA0;
            } else if (lead == 0xED) {
                high = 0x9F;
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            continuations = 3;
            codePoint = lead & 0x07;
            if (lead == 0xF0) {
                low = 0x90;
            } else if (lead == 0xF4) {
                high = 0x8F;
            }
        } else {
            // A continuation byte without a lead, or a byte that never
            // appears in UTF-8.
            out += kUnmappable;
            ++i;
            continue;
        }
        ++i;
        bool complete = true;
        for (int k = 0; k < continuations; ++k) {
            if (i >= size) {
                complete = false;
                break;
            }
            const auto next = static_cast<uint8_t>(utf8[i]);
            if (next < low || next > high) {
                complete = false;
                break;
            }
            codePoint = (codePoint << 6) | (next & 0x3F);
            ++i;
            low = 0x80;
            high = 0xBF;
        }
        out += complete ? FromCodePoint(codePoint) : kUnmappable;
    }
    return out;
}

std::string Cp1251ToUtf8(std::string_view cp1251) {
    std::string out;
    out.reserve(cp1251.size() * 2);
    for (const char c : cp1251) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            AppendUtf8(out, kUpperHalf[byte - 0x80]);
        }
    }
    return out;
}

}  // namespace zorv
