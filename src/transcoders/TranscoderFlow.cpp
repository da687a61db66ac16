#include "transcoders/TranscoderFlow.h"

#include <fmt/format.h>

#include <charconv>

namespace zorv {

std::string DottedAddress(uint32_t ip) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&ip);
    return fmt::format("{}.{}.{}.{}", bytes[0], bytes[1], bytes[2], bytes[3]);
}

std::string AddressText(const TranscoderAddress& address) {
    return fmt::format("{}:{}", DottedAddress(address.ip), address.port);
}

namespace {

// Reads a decimal number up to limit at the front of text; advances text.
std::optional<uint32_t> TakeNumber(std::string_view& text, uint32_t limit) {
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data() || value > limit) {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return value;
}

}  // namespace

std::optional<TranscoderAddress> ParseAddressText(std::string_view text) {
    TranscoderAddress address;
    auto* bytes = reinterpret_cast<uint8_t*>(&address.ip);
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (text.empty() || text.front() != '.') {
                return std::nullopt;
            }
            text.remove_prefix(1);
        }
        std::optional<uint32_t> byte = TakeNumber(text, 255);
        if (!byte) {
            return std::nullopt;
        }
        bytes[i] = static_cast<uint8_t>(*byte);
    }
    if (!text.empty()) {
        if (text.front() != ':') {
            return std::nullopt;
        }
        text.remove_prefix(1);
        std::optional<uint32_t> port = TakeNumber(text, 65535);
        if (!port || !text.empty()) {
            return std::nullopt;
        }
        address.port = static_cast<uint16_t>(*port);
    }
    return address;
}

void CRequestCompletion::Complete(RequestResult result) {
    {
        std::lock_guard lock(m_lock);
        if (m_result) {
            return;
        }
        m_result = result;
    }
    m_completed.notify_all();
}

bool CRequestCompletion::IsComplete() const {
    std::lock_guard lock(m_lock);
    return m_result.has_value();
}

RequestResult CRequestCompletion::Wait() const {
    std::unique_lock lock(m_lock);
    m_completed.wait(lock, [this] { return m_result.has_value(); });
    return *m_result;
}

std::optional<RequestResult> CRequestCompletion::WaitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_lock);
    if (!m_completed.wait_for(lock, timeout, [this] { return m_result.has_value(); })) {
        return std::nullopt;
    }
    return m_result;
}

RequestHandle CompletedRequest(RequestResult result) {
    auto handle = std::make_shared<CRequestCompletion>();
    handle->Complete(result);
    return handle;
}

}  // namespace zorv
