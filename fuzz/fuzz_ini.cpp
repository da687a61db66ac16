// Settings files come from disk and from operators: any bytes must parse, and
// what an edit writes must read back.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/IniDocument.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    zorv::CIniDocument document = zorv::CIniDocument::Parse(text);
    for (const std::string& section : document.Sections()) {
        for (const std::string& key : document.Keys(section)) {
            document.Find(section, key);
        }
    }
    document.Set("Path", "MaxSizeFile", "60");
    const zorv::CIniDocument reread = zorv::CIniDocument::Parse(document.Serialize());
    const std::string* value = reread.Find("Path", "MaxSizeFile");
    if (value == nullptr || *value != "60") {
        __builtin_trap();
    }
    return 0;
}
