// What the local interface asks of the server beyond the client operations:
// the local listening links and the intake of records other programs offer.
// Kept apart from the local interface so that the server's own headers need
// not bring in the client access layer's record helpers.
#pragma once

#include <cstdint>

#include "core/DbRecord.h"

namespace zorv {

// The server's local listening links (the server implements it).
class ILocalListenControl {
public:
    virtual ~ILocalListenControl() = default;
    // kind 0 recorded audio, 1 line monitor. 0 done, 2 no socket or no such
    // device or refused by it, 4 out of memory.
    virtual int ChangeLink(int kind, int device, int channel, uint16_t port, bool enabled) = 0;
};

// Takes a complete call record offered by another program for the record
// database (the server implements it).
class IRecordIntake {
public:
    virtual ~IRecordIntake() = default;
    // False when the record is refused (see CheckOfferedRecord) or nothing
    // could take it.
    virtual bool OfferRecord(const tagDB_Record& record) = 0;
};

}  // namespace zorv
