// The in-memory record of one channel (private to the channel logic).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "channels/ChannelBank.h"
#include "platform/Clock.h"

namespace zorv {

struct CChannelBank::Channel {
    tagChanelState state{};
    tagChanelParam param = kDefaultChanelParam;
    int32_t deferredCompress = -1;  // -1: none

    // Audio buffer: the pre-activation ring in level activation, else the
    // blocks collected for the next write. A stereo pair uses the master's,
    // interleaved: master samples at even, slave samples at odd positions.
    std::vector<uint8_t> buffer;
    std::size_t used = 0;      // bytes in use (mono)
    std::size_t framePos = 0;  // stereo: this channel's next frame in the pair's buffer

    LocalTime callStart{};

    // Level-activation window (blocks of 8 ms).
    uint32_t startWindow = 0;  // TOn x 12.5
    uint32_t stopWindow = 0;   // TOff x 125
    uint32_t startCount = 0;   // TOn x 7
    uint32_t stopCount = 0;    // TOff x 125
    std::vector<uint8_t> flags;
    uint32_t flagPos = 0;
    uint32_t flagged = 0;

    bool manual = false;
    bool splitHold = false;       // a split record is held (continue after split 0)
    bool faultBySilence = false;  // StateLine 12 came from a silent group
    // A network device sends no data: StateLine shows 12, the state it showed
    // before is kept here and given back when data returns.
    bool noData = false;
    uint32_t stateBeforeNoData = 0;
    Handler handler = Handler::kIdle;

    // Call bookkeeping of the line-state machine.
    int digits = 0;
    bool dtmfWindow = false;
    bool numberWindow = false;
    bool analyzerEnded = false;
    bool dtmfEnable = true;
    uint32_t forcedDirection = 0;

    std::string alias;
    std::string myPhoneNumber;
    bool alwaysUseMyPhoneNumber = false;
    uint32_t sourceSignal = 1;
};

}  // namespace zorv
