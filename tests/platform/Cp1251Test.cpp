#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Cp1251.h"

namespace zorv {
namespace {

std::string Byte(unsigned value) {
    return std::string(1, static_cast<char>(value));
}

// UTF-8 of a code point below U+10000, written out by hand for the tests.
std::string Utf8Of(char32_t cp) {
    std::string out;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

TEST(Cp1251Test, CyrillicAlphabetMapsToTheUpperQuarter) {
    for (char32_t cp = 0x0410; cp <= 0x044F; ++cp) {
        const std::string byte = Byte(0xC0 + (cp - 0x0410));
        EXPECT_EQ(Utf8ToCp1251(Utf8Of(cp)), byte) << std::hex << static_cast<uint32_t>(cp);
        EXPECT_EQ(Cp1251ToUtf8(byte), Utf8Of(cp)) << std::hex << static_cast<uint32_t>(cp);
    }
    EXPECT_EQ(Utf8ToCp1251("Запуск сервера записи."),
              "\xC7\xE0\xEF\xF3\xF1\xEA \xF1\xE5\xF0\xE2\xE5\xF0\xE0 \xE7\xE0\xEF\xE8\xF1\xE8.");
}

TEST(Cp1251Test, IrregularCharactersMapBothWays) {
    struct Case {
        const char* utf8;
        unsigned byte;
    };
    const Case cases[] = {
        {"Ё", 0xA8}, {"ё", 0xB8}, {"№", 0xB9},      {"€", 0x88}, {"«", 0xAB}, {"»", 0xBB},
        {"–", 0x96}, {"—", 0x97}, {"„", 0x84},      {"“", 0x93}, {"”", 0x94}, {"‘", 0x91},
        {"’", 0x92}, {"…", 0x85}, {"\u00A0", 0xA0}, {"Ђ", 0x80}, {"џ", 0x9F}, {"™", 0x99},
        {"Ґ", 0xA5}, {"ґ", 0xB4}, {"І", 0xB2},      {"ї", 0xBF}, {"§", 0xA7}, {"°", 0xB0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToCp1251(c.utf8), Byte(c.byte)) << c.utf8;
        EXPECT_EQ(Cp1251ToUtf8(Byte(c.byte)), c.utf8) << std::hex << c.byte;
    }
}

TEST(Cp1251Test, AsciiPassesThroughUnchanged) {
    std::string ascii;
    for (unsigned b = 0; b < 0x80; ++b) {
        ascii += static_cast<char>(b);
    }
    EXPECT_EQ(Utf8ToCp1251(ascii), ascii);
    EXPECT_EQ(Cp1251ToUtf8(ascii), ascii);
}

// The system's own converter is an independent judge of the whole upper half.
TEST(Cp1251Test, UpperHalfAgreesWithIconv) {
    iconv_t cd = iconv_open("UTF-8", "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        GTEST_SKIP() << "iconv has no CP1251";
    }
    for (unsigned b = 0x80; b <= 0xFF; ++b) {
        if (b == 0x98) {
            continue;  // undefined in the code page
        }
        char in[1] = {static_cast<char>(b)};
        char out[8] = {};
        char* inPtr = in;
        char* outPtr = out;
        size_t inLeft = 1;
        size_t outLeft = sizeof(out);
        ASSERT_NE(iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<size_t>(-1))
            << std::hex << b;
        const std::string expected(out, outPtr);
        EXPECT_EQ(Cp1251ToUtf8(Byte(b)), expected) << std::hex << b;
        EXPECT_EQ(Utf8ToCp1251(expected), Byte(b)) << std::hex << b;
    }
    iconv_close(cd);
}

TEST(Cp1251Test, UndefinedByteBecomesReplacementCharacter) {
    EXPECT_EQ(Cp1251ToUtf8("a\x98z"), "a\xEF\xBF\xBDz");
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8("a\x98z")), "a?z");
}

TEST(Cp1251Test, IllFormedOrUnmappableUtf8BecomesQuestionMarks) {
    struct Case {
        const char* name;
        std::string utf8;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"lone continuation byte", "a\x80z", "a?z"},
        {"two stray continuation bytes", "\xBF\xBF", "??"},
        {"overlong two-byte slash", "\xC0\xAF", "??"},
        {"overlong with C1", "\xC1\xBF", "??"},
        {"overlong three-byte", "\xE0\x80\x80", "???"},
        {"surrogate", "\xED\xA0\x80", "???"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", "????"},
        {"byte F5", "\xF5\x80", "??"},
        {"byte FF", "\xFF", "?"},
        {"two-byte lead at the end", "\xD0", "?"},
        {"three-byte sequence cut at the end", "\xE2\x82", "?"},
        {"three-byte sequence cut by a letter",
         "\xE2\x82"
         "A",
         "?A"},
        {"lead followed by a full letter", "\xD0\xD0\x90", "?\xC0"},
        {"four-byte sequence cut by a letter", "\xF0\x9F\x98x", "?x"},
        {"emoji", "\xF0\x9F\x98\x80", "?"},
        {"latin e acute", "caf\xC3\xA9", "caf?"},
        {"replacement character", "\xEF\xBF\xBD", "?"},
        {"chinese", "\xE4\xB8\xAD!", "?!"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToCp1251(c.utf8), c.expected) << c.name;
    }
}

TEST(Cp1251Test, StopsAtTheEndOfTheView) {
    // The byte after the view would complete the letter А.
    const char buffer[] = "\xD0\x90";
    EXPECT_EQ(Utf8ToCp1251(std::string_view(buffer, 1)), "?");
    EXPECT_EQ(Utf8ToCp1251(std::string_view(buffer, 0)), "");
    EXPECT_EQ(Cp1251ToUtf8(std::string_view(buffer, 0)), "");
}

}  // namespace
}  // namespace zorv
