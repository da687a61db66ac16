#pragma once

#include <ace/Time_Value.h>

#include <chrono>

namespace zorv {

// A time-out as ACE's calls take it.
inline ACE_Time_Value TimeValue(std::chrono::milliseconds timeout) {
    ACE_Time_Value value;
    value.msec(static_cast<long>(timeout.count()));
    return value;
}

}  // namespace zorv
