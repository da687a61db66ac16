// What every component may ask of the server object: post a message to its
// message thread and write journal lines. Components never call the server's
// state-changing operations; they post and return at once.
#pragma once

#include <cstdint>

#include "core/Journal.h"

namespace zorv {

class IServer : public IJournal {
public:
    // Queues a message (codes in ServerMessage.h); false when the ring is full,
    // and the message is then lost. Never blocks on a handler.
    virtual bool Post(int32_t code, int32_t a = 0, int32_t b = 0, int32_t c = 0) = 0;
};

}  // namespace zorv
