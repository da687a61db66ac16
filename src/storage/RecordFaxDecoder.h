// What the compressor asks of the fax decoder: a look at a finished record
// for fax signalling. The compressor owns nothing of the decoder; the server
// hands it one, or none (no fax decoding).
#pragma once

#include <cstdint>
#include <string>

#include "storage/WavFile.h"

namespace zorv {

// What the decoder found in one record.
struct SFaxFinding {
    std::string dcs;     // bit-rate text of the DCS parameters; empty when none
    std::string dis;     // bit-rate text of the DIS parameters; empty when none
    int32_t offset = 0;  // where the fax begins (the mark's value)
};

class IRecordFaxDecoder {
public:
    virtual ~IRecordFaxDecoder() = default;
    // Looks at the audio of file (open, with a view); namefile: where the
    // record will lie. Returns 0 or 1 when no fax was found, above 1 when one
    // was (6: with NSF frames), and fills finding. May throw; the compressor
    // counts a throw as no fax and reports it.
    virtual int Decode(CWavFile& file, const std::string& namefile, SFaxFinding& finding) = 0;
};

}  // namespace zorv
