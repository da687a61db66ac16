#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/MessageCatalog.h"
#include "platform/Cp1251.h"
#include "support/CatalogTestDir.h"

namespace zorv {
namespace {

using test::CCatalogTestDir;
using namespace std::string_literals;

// The built-in text of a number, back in UTF-8 for readable comparisons.
std::string BuiltinUtf8(int id) {
    return Cp1251ToUtf8(CMessageCatalog::BuiltinText(id));
}

TEST(MessageCatalogTest, BuiltinTextsThatCallersAndClientsDependOn) {
    const std::pair<int, const char*> cases[] = {
        {7, "Отказано - нет прав!"},
        {14, "выключил"},
        {15, "включил"},
        {229, "Запуск сервера записи."},
        // Latin "c" (not Cyrillic "с") after "си" and after "Вос".
        {273,
         "Попытка перезагрузки си"
         "c"
         "темы завершилась с ошибкой!"},
        {304,
         "Вос"
         "c"
         "тановление параметров каналов %u-%u устройства %u по расписанию."},
        {296, "Статус сервера записи: "},
        {345, "включил аппаратную"},
        {419,
         "Локальный пользователь %s - установил метод сжатия %s %sдля частоты дискретизации "
         "%ukHz на устройстве %u!"},
        {449, "Определять исходящие номера для входящих звонков"},
    };
    for (const auto& [id, utf8] : cases) {
        EXPECT_EQ(BuiltinUtf8(id), utf8) << "text " << id;
    }
    // Exact windows-1251 bytes of one line, independent of the converter.
    EXPECT_EQ(CMessageCatalog::BuiltinText(229),
              "\xC7\xE0\xEF\xF3\xF1\xEA \xF1\xE5\xF0\xE2\xE5\xF0\xE0 \xE7\xE0\xEF\xE8\xF1\xE8.");
    // The Latin letter survives conversion as 0x63; Cyrillic "с" would be 0xF1.
    const std::string_view text273 = CMessageCatalog::BuiltinText(273);
    EXPECT_EQ(text273.substr(text273.find("\xF1\xE8"), 3),
              "\xF1\xE8"
              "c");
}

TEST(MessageCatalogTest, NumbersWithoutTextAndOutOfRangeAreEmpty) {
    const CMessageCatalog catalog;
    for (int id : {0, 1, 338, 344, 346, 410, 450, 458, 459, 460, -1, INT_MAX, INT_MIN}) {
        EXPECT_EQ(CMessageCatalog::BuiltinText(id), "") << id;
        EXPECT_EQ(catalog.Text(id), "") << id;
    }
    // The neighbours of the empty ranges are filled.
    for (int id : {2, 337, 345, 411, 449}) {
        EXPECT_NE(CMessageCatalog::BuiltinText(id), "") << id;
    }
}

// Every built-in text is meant for the code page (no character lost as '?') and
// every '%' starts one of the conversions the callers pass values for.
TEST(MessageCatalogTest, BuiltinTextsConvertCleanlyAndHoldOnlyKnownPlaceholders) {
    const std::string_view conversions[] = {"%s", "%u", "%d", "%x", "%.2u"};
    for (int id = 0; id < CMessageCatalog::kEntryCount; ++id) {
        const std::string_view text = CMessageCatalog::BuiltinText(id);
        // A question ends its text; a '?' anywhere else is a lost character.
        const std::size_t question = text.find('?');
        EXPECT_TRUE(question == std::string_view::npos || question + 1 == text.size())
            << "text " << id;
        for (std::size_t pos = text.find('%'); pos != std::string_view::npos;
             pos = text.find('%', pos + 1)) {
            bool known = false;
            for (std::string_view conversion : conversions) {
                known = known || text.substr(pos, conversion.size()) == conversion;
            }
            EXPECT_TRUE(known) << "text " << id << " at " << pos;
        }
    }
}

TEST(MessageCatalogTest, FreshCatalogHoldsTheBuiltinTexts) {
    const CMessageCatalog catalog;
    for (int id = 0; id < CMessageCatalog::kEntryCount; ++id) {
        EXPECT_EQ(catalog.Text(id), CMessageCatalog::BuiltinText(id)) << id;
    }
    EXPECT_EQ(&CMessageCatalog::Instance(), &CMessageCatalog::Instance());
}

// One case of the catalogue build: the files of a work directory and the texts
// expected afterwards. "{dir}" in a file stands for the work directory.
struct BuildCase {
    const char* name;
    std::string prefix;
    std::optional<std::string> selectionFile;                     // contents of <prefix>.ini
    std::vector<std::pair<std::string, std::string>> otherFiles;  // relative path, contents
    std::vector<std::pair<int, std::string>> expected;            // id, windows-1251 text
};

std::string ReplaceDir(std::string text, const std::string& dir) {
    for (std::size_t pos; (pos = text.find("{dir}")) != std::string::npos;) {
        text.replace(pos, 5, dir);
    }
    return text;
}

std::string Builtin(int id) {
    return std::string(CMessageCatalog::BuiltinText(id));
}

TEST(MessageCatalogTest, BuildReadsTheSelectedLanguageFile) {
    const std::string started = Utf8ToCp1251("Сервер стартовал");
    const std::string longValue(600, 'x');
    const std::vector<BuildCase> cases = {
        {"no selection file and no Default.lng",
         "ZORV",
         std::nullopt,
         {},
         {{229, Builtin(229)}, {7, Builtin(7)}}},
        {"no selection file uses Default.lng of the work directory",
         "ZORV",
         std::nullopt,
         {{"Default.lng", "[RecordServer]\n229=" + started + "\n"}},
         {{229, started}, {230, Builtin(230)}}},
        {"selected language file is missing",
         "ZORV",
         "[Advanced]\nLanguage=English.lng\n",
         {{"Default.lng", "[RecordServer]\n229=wrong file\n"}},
         {{229, Builtin(229)}}},
        {"replacement, empty value and missing keys",
         "ZORV",
         "[Advanced]\nLanguage=English.lng\n",
         {{"English.lng",
           "[RecordServer]\r\n229=" + started + "\r\n7=\r\n\r\n[Other]\r\n230=no\r\n"}},
         {{229, started}, {7, ""}, {230, Builtin(230)}, {1, ""}, {458, ""}}},
        {"value longer than the buffer is cut to 511 bytes",
         "ZORV",
         "[Advanced]\nLanguage=Long.lng\n",
         {{"Long.lng", "[RecordServer]\n300=" + longValue + "\n"}},
         {{300, longValue.substr(0, 511)}}},
        {"keys outside 1..458 are not entries",
         "ZORV",
         "[Advanced]\nLanguage=Edge.lng\n",
         {{"Edge.lng", "[RecordServer]\n0=zero\n459=beyond\n1=first\n458=last\n"}},
         {{0, ""}, {459, ""}, {1, "first"}, {458, "last"}}},
        {"language file name with a directory is used as it stands",
         "ZORV",
         "[Advanced]\nLanguage={dir}/lang/Ru.lng\n",
         {{"lang/Ru.lng", "[RecordServer]\n229=" + started + "\n"},
          {"Ru.lng", "[RecordServer]\n229=wrong file\n"}},
         {{229, started}}},
        {"selection file named after the prefix",
         "ACME",
         "[Advanced]\nLanguage=Acme.lng\n",
         {{"Acme.lng", "[RecordServer]\n229=acme\n"},
          {"ZORV.ini", "[Advanced]\nLanguage=Default.lng\n"},
          {"Default.lng", "[RecordServer]\n229=wrong file\n"}},
         {{229, "acme"}}},
        {"empty language name names no file",
         "ZORV",
         "[Advanced]\nLanguage=\n",
         {{"Default.lng", "[RecordServer]\n229=wrong file\n"}},
         {{229, Builtin(229)}}},
        {"zero byte ends a replaced text",
         "ZORV",
         "[Advanced]\nLanguage=Zero.lng\n",
         {{"Zero.lng", "[RecordServer]\n229=ab\0cd\n"s}},
         {{229, "ab"}}},
    };
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(c.name);
        const CCatalogTestDir dir;
        if (c.selectionFile) {
            dir.WriteFile(c.prefix + ".ini", ReplaceDir(*c.selectionFile, dir.Path()));
        }
        for (const auto& [relative, contents] : c.otherFiles) {
            dir.WriteFile(relative, ReplaceDir(contents, dir.Path()));
        }
        CMessageCatalog catalog;
        catalog.Build(dir.Path(), c.prefix);
        for (const auto& [id, text] : c.expected) {
            EXPECT_EQ(catalog.Text(id), text) << "text " << id;
        }
    }
}

TEST(MessageCatalogTest, RebuildForgetsEarlierReplacements) {
    const CCatalogTestDir dir;
    dir.WriteFile("Default.lng", "[RecordServer]\n229=replaced\n");
    CMessageCatalog catalog;
    catalog.Build(dir.Path(), "ZORV");
    ASSERT_EQ(catalog.Text(229), "replaced");

    const CCatalogTestDir emptyDir;
    catalog.Build(emptyDir.Path(), "ZORV");
    EXPECT_EQ(catalog.Text(229), CMessageCatalog::BuiltinText(229));
}

}  // namespace
}  // namespace zorv
