// The protocol between a device and the signal processors of its groups:
// the channel commands sent through a group's mailbox, the event codes of the
// event records in the record stream, the record framing, and which
// line-parameter byte each parameter command reads or writes.
//
// This header is the one definition of these numbers: the device
// (CDspDevice and its reading thread), the record stream parser, the
// simulated board and the tests all take them from here. Constants only; no
// state, so any thread may use it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "channels/ChannelTypes.h"
#include "core/ServerMessage.h"

namespace zorv {

// Channel commands (bits 8-15 of the channel command word). The parameter
// commands come in pairs: the odd code reads a line-parameter byte (the
// processor answers with an event record of the same code carrying the
// byte), the even code after it writes it.
enum class DspCommand : uint8_t {
    ReadLineFailureLevel = 1,
    WriteLineFailureLevel = 2,
    ReadLineActivateLevel = 3,
    WriteLineActivateLevel = 4,
    ReadLineRingLevel = 5,
    WriteLineRingLevel = 6,
    ReadMaxRingPause = 7,
    WriteMaxRingPause = 8,
    ReadAonRequestLength = 9,
    WriteAonRequestLength = 10,
    ReadAonRequestNumber = 11,
    WriteAonRequestNumber = 12,
    ReadAonRequestPauseFirst = 13,
    WriteAonRequestPauseFirst = 14,
    ReadAonRequestPauseBetween = 15,
    WriteAonRequestPauseBetween = 16,
    Polarity = 17,        // value: 1 one polarity, 0 the other
    RequestStatus = 18,   // answered by a Status event
    RequestVersion = 21,  // answered by a Version event
    Monitor = 24,         // value: 1 line monitor on, 0 off
    Key = 26,             // value: key 0/1, or one of DspKeyValue
    Initialise = 27,
    ReadMinActivateLevel = 28,
    WriteMinActivateLevel = 29,
};

// Values of the Key command that are not a key state.
enum class DspKeyValue : uint8_t {
    TestPulse = 2,
    // The PCI family takes Initialise as Key with these values (Initialise
    // with value 0 and 1).
    InitialiseOff = 5,
    InitialiseOn = 6,
};

// Event codes (byte 3 of an event record). Parameter reports carry the
// code of the read (or write) command of the byte they report.
enum class DspEvent : uint8_t {
    Status = 18,
    Version = 21,
    Digit = 22,    // value: digit 0..15
    Line = 23,     // value: line event 0..4
    Monitor = 24,  // value: line monitor byte; on a group event, the heartbeat
};

constexpr int Code(DspCommand command) {
    return static_cast<int>(command);
}
constexpr int Code(DspKeyValue value) {
    return static_cast<int>(value);
}
constexpr uint8_t Code(DspEvent event) {
    return static_cast<uint8_t>(event);
}

// The enumerator's name of a command code (logs and test output); empty
// for a code that is no command.
constexpr std::string_view DspCommandName(int code) {
    switch (static_cast<DspCommand>(code)) {
        case DspCommand::ReadLineFailureLevel:
            return "ReadLineFailureLevel";
        case DspCommand::WriteLineFailureLevel:
            return "WriteLineFailureLevel";
        case DspCommand::ReadLineActivateLevel:
            return "ReadLineActivateLevel";
        case DspCommand::WriteLineActivateLevel:
            return "WriteLineActivateLevel";
        case DspCommand::ReadLineRingLevel:
            return "ReadLineRingLevel";
        case DspCommand::WriteLineRingLevel:
            return "WriteLineRingLevel";
        case DspCommand::ReadMaxRingPause:
            return "ReadMaxRingPause";
        case DspCommand::WriteMaxRingPause:
            return "WriteMaxRingPause";
        case DspCommand::ReadAonRequestLength:
            return "ReadAonRequestLength";
        case DspCommand::WriteAonRequestLength:
            return "WriteAonRequestLength";
        case DspCommand::ReadAonRequestNumber:
            return "ReadAonRequestNumber";
        case DspCommand::WriteAonRequestNumber:
            return "WriteAonRequestNumber";
        case DspCommand::ReadAonRequestPauseFirst:
            return "ReadAonRequestPauseFirst";
        case DspCommand::WriteAonRequestPauseFirst:
            return "WriteAonRequestPauseFirst";
        case DspCommand::ReadAonRequestPauseBetween:
            return "ReadAonRequestPauseBetween";
        case DspCommand::WriteAonRequestPauseBetween:
            return "WriteAonRequestPauseBetween";
        case DspCommand::Polarity:
            return "Polarity";
        case DspCommand::RequestStatus:
            return "RequestStatus";
        case DspCommand::RequestVersion:
            return "RequestVersion";
        case DspCommand::Monitor:
            return "Monitor";
        case DspCommand::Key:
            return "Key";
        case DspCommand::Initialise:
            return "Initialise";
        case DspCommand::ReadMinActivateLevel:
            return "ReadMinActivateLevel";
        case DspCommand::WriteMinActivateLevel:
            return "WriteMinActivateLevel";
    }
    return {};
}

// Record framing. Header byte: bit 7 clear, bit 3 set for an event record,
// bits 0-1 the group, bits 4-7 the channel within the group (event records;
// 6 and above: an event of the group's processor). Second byte: the mark.
inline constexpr uint8_t kRecordMark = 0x47;
inline constexpr uint8_t kRecordEventFlag = 0x08;
inline constexpr uint8_t kRecordInvalidFlag = 0x80;
inline constexpr uint8_t kRecordGroupMask = 0x03;
inline constexpr int kRecordChannelShift = 4;
inline constexpr int kGroupEventField = 6;
inline constexpr int kEventRecordLength = 4;        // header, mark, value, code
inline constexpr int kShortAudioRecordLength = 14;  // six samples
inline constexpr int kLongAudioRecordLength = 26;   // twelve samples

constexpr uint8_t EventRecordHeader(int group, int channelField) {
    return static_cast<uint8_t>((channelField << kRecordChannelShift) | kRecordEventFlag |
                                (group & kRecordGroupMask));
}

// A line-parameter byte the processors hold: its offset in LineParams, the
// commands that read and write it and the server message posted when the
// processor reports a value other than the system's.
struct LineParamField {
    std::size_t offset;
    DspCommand read;
    DspCommand write;
    int mismatchMessage;
};

// In LineParams order, which is the order in which changed bytes are sent.
inline constexpr std::array<LineParamField, 9> kLineParamFields{{
    {offsetof(LineParams, LineFailureLevel), DspCommand::ReadLineFailureLevel,
     DspCommand::WriteLineFailureLevel, kMsgLineParamFirst + 0},
    {offsetof(LineParams, LineActivateLevel), DspCommand::ReadLineActivateLevel,
     DspCommand::WriteLineActivateLevel, kMsgLineParamFirst + 1},
    {offsetof(LineParams, LineRingLevel), DspCommand::ReadLineRingLevel,
     DspCommand::WriteLineRingLevel, kMsgLineParamFirst + 2},
    {offsetof(LineParams, AonRequestLength), DspCommand::ReadAonRequestLength,
     DspCommand::WriteAonRequestLength, kMsgLineParamFirst + 3},
    {offsetof(LineParams, AonRequestNumber), DspCommand::ReadAonRequestNumber,
     DspCommand::WriteAonRequestNumber, kMsgLineParamFirst + 4},
    {offsetof(LineParams, AonRequestPauseFirst), DspCommand::ReadAonRequestPauseFirst,
     DspCommand::WriteAonRequestPauseFirst, kMsgLineParamFirst + 5},
    {offsetof(LineParams, AonRequestPauseBetween), DspCommand::ReadAonRequestPauseBetween,
     DspCommand::WriteAonRequestPauseBetween, kMsgLineParamFirst + 6},
    {offsetof(LineParams, MaxRingPause), DspCommand::ReadMaxRingPause,
     DspCommand::WriteMaxRingPause, kMsgLineParamFirst + 7},
    {offsetof(LineParams, MinActivateLevel), DspCommand::ReadMinActivateLevel,
     DspCommand::WriteMinActivateLevel, kMsgLineParamFirst + 8},
}};
static_assert(kMsgLineParamFirst + 8 == kMsgLineParamLast);

// The field a read or write command (or the report of either) concerns;
// null for any other code.
constexpr const LineParamField* LineParamFieldOf(int code) {
    for (const LineParamField& field : kLineParamFields) {
        if (code == Code(field.read) || code == Code(field.write)) {
            return &field;
        }
    }
    return nullptr;
}

// The read commands in ascending code order: the order in which a channel's
// processor is asked for every byte after initialisation.
constexpr std::array<DspCommand, kLineParamFields.size()> LineParamReadOrder() {
    std::array<DspCommand, kLineParamFields.size()> order{};
    for (std::size_t i = 0; i < kLineParamFields.size(); ++i) {
        order[i] = kLineParamFields[i].read;
    }
    std::sort(order.begin(), order.end());
    return order;
}
inline constexpr auto kLineParamReadOrder = LineParamReadOrder();

}  // namespace zorv
