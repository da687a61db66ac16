// The formats file is read at every compressor start: any bytes must either
// load or give way to the defaults, what loads must be a table the
// compressor can use (at most seven well-formed blocks, one per rate and
// channel count), and what Save writes must load back unchanged.
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "storage/FormatTable.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using zorv::CFormatTable;
    // The path is never used: nothing here reads or writes the file.
    CFormatTable table("/nonexistent/fuzz.fmt", nullptr);
    if (table.LoadBytes(std::span<const uint8_t>(data, size)) ==
        CFormatTable::LoadResult::kUnusable) {
        return 0;
    }
    const std::vector<zorv::CWaveFormat>& formats = table.Formats();
    Check(!formats.empty() && formats.size() <= CFormatTable::kMaxFormats);
    for (std::size_t i = 0; i < formats.size(); ++i) {
        Check(formats[i].Size() <= zorv::kMaxFormatSize && zorv::IsWellFormed(formats[i].Bytes()));
        for (std::size_t j = 0; j < i; ++j) {
            Check(formats[i].Rate() != formats[j].Rate() ||
                  formats[i].Channels() != formats[j].Channels());
        }
    }
    const std::vector<uint8_t> saved = table.Serialize();
    CFormatTable reread("/nonexistent/fuzz.fmt", nullptr);
    Check(reread.LoadBytes(saved) == CFormatTable::LoadResult::kLoaded);
    Check(reread.Serialize() == saved);
    return 0;
}
