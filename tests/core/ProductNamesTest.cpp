#include <gtest/gtest.h>

#include <fstream>

#include "core/ProductNames.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

TEST(ProductNamesTest, NamesByIndex) {
    const CProductNames names("ZORV");
    struct Case {
        int index;
        const char* name;
    };
    for (const Case c : {Case{0, "ZORV.ini"}, Case{2, "ZORV_18.ini"}, Case{7, "ZORV_18.log"},
                         Case{12, "ZORV_18Users.dat"}, Case{17, "ZORV_18Operator.dat"},
                         Case{20, "ZORV"}, Case{22, "ZORV-18"}, Case{27, "ZORV18Server"},
                         Case{32, "ZORV_18"}, Case{35, "ZORVDBServer"}, Case{38, "ZORV18BackUp"},
                         Case{41, "ZORV.dbf"}, Case{-1, ""}, Case{42, ""}}) {
        EXPECT_EQ(names.Name(c.index), c.name) << c.index;
    }
    EXPECT_EQ(CProductNames("ACME").Name(CProductNames::kServiceName), "ACME18Server");
    EXPECT_EQ(names.ServiceGroup(), "zorv18server");
    EXPECT_EQ(CProductNames("AcMe").ServiceGroup(), "acme18server");
}

TEST(ProductNamesTest, PrefixFromTheBrandingFile) {
    struct Case {
        const char* name;
        size_t size;         // file size; 0 for no file
        size_t prefixAt;     // offset of the prefix text from the end block's start
        std::string prefix;  // bytes written there
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"no file", 0, 0, "", "ZORV"},
        {"shorter than the block", 1503, 10, "ACME", "ZORV"},
        {"exactly the block", 1504, 10, "ACME", "ACME"},
        {"block at the end of a longer file", 5000, 10, "Tel", "Tel"},
        {"empty prefix", 1504, 10, "", "ZORV"},
        {"sixteen bytes without a zero", 1504, 10, "ABCDEFGHIJKLMNOPQRS", "ABCDEFGHIJKLMNOP"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CTempDir dir;
        const std::string path = dir.File("sdata.skn");
        if (c.size != 0) {
            std::string bytes(c.size, '\0');
            const size_t block = c.size >= 1504 ? c.size - 1504 : 0;
            bytes.replace(
                block + c.prefixAt, std::min(c.prefix.size(), c.size - block - c.prefixAt),
                c.prefix.substr(0, std::min(c.prefix.size(), c.size - block - c.prefixAt)));
            std::ofstream(path, std::ios::binary) << bytes;
        }
        EXPECT_EQ(CProductNames::ReadPrefix(path), c.expected);
    }
}

}  // namespace
}  // namespace zorv::test
