#include "storage/ImaAdpcm.h"

#include <algorithm>

namespace zorv {

uint8_t ImaEncodeSample(int x, int& predictor, int& index, int lowest) {
    const int step = kImaStepTable[static_cast<std::size_t>(index)];
    int diff = x - predictor;
    uint8_t code = 0;
    if (diff < 0) {
        code = 8;
        diff = -diff;
    }
    int decoded = step >> 3;
    if (diff >= step) {
        code |= 4;
        diff -= step;
        decoded += step;
    }
    if (diff >= step >> 1) {
        code |= 2;
        diff -= step >> 1;
        decoded += step >> 1;
    }
    if (diff >= step >> 2) {
        code |= 1;
        decoded += step >> 2;
    }
    predictor = std::clamp(predictor + ((code & 8) ? -decoded : decoded), lowest, 32767);
    index = std::clamp(index + kImaIndexTable[code], 0, 88);
    return code;
}

}  // namespace zorv
