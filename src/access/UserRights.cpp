#include "access/UserRights.h"

#include <algorithm>
#include <cstring>

namespace zorv {

FunctionMask FunctionMaskOf(int bit) {
    FunctionMask mask{};
    if (bit >= 0 && bit < static_cast<int>(kFunctionMaskBytes * 8)) {
        mask[static_cast<std::size_t>(bit) / 8] = static_cast<uint8_t>(1u << (bit % 8));
    }
    return mask;
}

bool AllBitsSet(std::span<const uint8_t> mask, int a, int b) {
    if (a < 0 || b < 0) {
        return false;
    }
    if (a > b) {
        std::swap(a, b);
    }
    if (static_cast<std::size_t>(b) >= mask.size() * 8) {
        return false;
    }
    for (int bit = a; bit <= b; ++bit) {
        if ((mask[static_cast<std::size_t>(bit) / 8] & (1u << (bit % 8))) == 0) {
            return false;
        }
    }
    return true;
}

void CUserRights::Load(const tagUserAccountRecord& enciphered) {
    m_record = enciphered;
    CipherRecordFields(m_record);
    std::memcpy(m_monitorRight.data(), m_record.MonitorRigth, kFunctionMaskBytes);
    std::memcpy(m_baseRight.data(), m_record.BaseRigth, kFunctionMaskBytes);
    m_monitorRight.back() = 0;
    m_baseRight.back() = 0;
    m_valid = true;
}

void CUserRights::Clear() {
    m_valid = false;
    std::memset(&m_record, 0, sizeof(m_record));
    m_monitorRight.fill(0);
    m_baseRight.fill(0);
}

bool CUserRights::HasFunction(const FunctionMask& mask) const {
    if (!m_valid) {
        return false;
    }
    if (m_record.AdminAccess == 1) {
        return true;
    }
    for (std::size_t i = 0; i < kFunctionMaskBytes; ++i) {
        if ((mask[i] & m_monitorRight[i]) != mask[i]) {
            return false;
        }
    }
    return true;
}

bool CUserRights::HasChannels(int first, int last) const {
    if (!m_valid) {
        return false;
    }
    if (m_record.AdminAccess == 1) {
        return true;
    }
    return AllBitsSet(m_record.ChannelsMonitorRight, first, last);
}

}  // namespace zorv
