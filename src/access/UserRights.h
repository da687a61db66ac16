// The rights of one logged-in user: whether it may use a function and
// whether it may act on a range of global channels.
//
// One object per client connection and per local-interface object; a login
// loads it, a refused login clears it. Not thread-safe: only the thread that
// owns the connection (or local object) uses it, so it has no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "access/UserAccount.h"

namespace zorv {

// The function mask: 128 bits, bit n is bit (n mod 8) of byte n / 8.
inline constexpr std::size_t kFunctionMaskBytes = 16;
using FunctionMask = std::array<uint8_t, kFunctionMaskBytes>;

// Function bits.
enum FunctionBit : int {
    kFnLocalAccess = 0,
    kFnNetworkAccess = 1,
    kFnStopServer = 2,
    kFnListening = 3,
    kFnStorageSettings = 4,
    kFnSamplingRate = 5,
    kFnAdcSensitivity = 6,
    kFnLineParameters = 9,
    kFnAutoAnswer = 11,
    kFnChannelCompression = 14,
    kFnChannelSwitching = 15,
    kFnRecordingThreshold = 16,
    kFnDelays = 17,
    kFnDefaultChannelParameters = 24,
    kFnManualActivation = 27,
    kFnTranscoders = 28,
    kFnAddTranscoder = 32,
    // Adding, changing, deleting and renaming other users (the users
    // database checks it; administrators hold every bit).
    kFnUserAdministration = 33,
};

// A mask with the single bit set; empty for a bit outside 0..127.
FunctionMask FunctionMaskOf(int bit);

// True when every bit from a to b inclusive (in either order) is set in mask.
// False for a negative a or b and for a range reaching past the mask.
bool AllBitsSet(std::span<const uint8_t> mask, int a, int b);

class CUserRights {
public:
    CUserRights() { Clear(); }

    // Takes an enciphered record as the users database hands it out.
    void Load(const tagUserAccountRecord& enciphered);
    void Clear();

    bool IsValid() const { return m_valid; }
    bool IsAdministrator() const { return m_valid && m_record.AdminAccess == 1; }
    // The deciphered record (zero when not valid).
    const tagUserAccountRecord& Record() const { return m_record; }

    // Every bit set in mask must be granted. The last byte (bits 120..127) is
    // never granted to a non-administrator.
    bool HasFunction(const FunctionMask& mask) const;
    bool HasFunction(int bit) const { return HasFunction(FunctionMaskOf(bit)); }
    // Every global channel from first to last inclusive (either order).
    bool HasChannels(int first, int last) const;

private:
    bool m_valid = false;
    tagUserAccountRecord m_record{};
    // MonitorRigth and BaseRigth with their last byte cleared.
    FunctionMask m_monitorRight{};
    FunctionMask m_baseRight{};
};

}  // namespace zorv
