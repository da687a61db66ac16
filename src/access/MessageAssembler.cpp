#include "access/MessageAssembler.h"

#include <algorithm>
#include <cstring>

namespace zorv {

GateDecision GateMessage(std::span<const uint8_t> bytes, bool authorized) {
    const uint8_t code = bytes[0];
    const std::size_t available = bytes.size();
    if (available < 2) {
        // Only the code is here: the index decides between a skip, a
        // refusal and the command, so ask for it alone first.
        return {GateDecision::kNeedMore, 0, 2 - available};
    }
    const auto skip = [&]() -> GateDecision {
        if (available < kSkipSize) {
            return {GateDecision::kNeedMore, 0, kSkipSize - available};
        }
        return {GateDecision::kSkip, kSkipSize, 0};
    };
    if (bytes[1] >= kIndexLimit) {
        return skip();
    }
    if (code != static_cast<uint8_t>(ClientCode::kLogin) && !authorized) {
        return {GateDecision::kUnauthorized, 0, 0};
    }
    const std::optional<std::size_t> known = RequestSize(code);
    if (!known) {
        return skip();
    }
    if (available < *known) {
        return {GateDecision::kNeedMore, 0, *known - available};
    }
    return {GateDecision::kRun, *known, 0};
}

bool CMessageAssembler::DrainKept(IMessageDispatcher& dispatcher) {
    while (m_kept > 0 && m_missing == 0) {
        const DispatchOutcome out = dispatcher.Dispatch({m_partial.data(), m_kept});
        switch (out.kind) {
            case DispatchOutcome::kStop:
                Reset();
                return false;
            case DispatchOutcome::kNeedMore:
                m_missing = std::min(out.missing, m_partial.size() - m_kept);
                if (m_missing == 0) {
                    Reset();  // a dispatcher asking beyond the largest request
                }
                break;
            case DispatchOutcome::kUsed: {
                const std::size_t used = std::clamp<std::size_t>(out.used, 1, m_kept);
                std::memmove(m_partial.data(), m_partial.data() + used, m_kept - used);
                m_kept -= used;
                break;
            }
        }
    }
    return true;
}

bool CMessageAssembler::Feed(std::span<const uint8_t> block, IMessageDispatcher& dispatcher) {
    std::size_t pos = 0;
    while (pos < block.size()) {
        if (m_kept > 0) {
            const std::size_t take = std::min(m_missing, block.size() - pos);
            std::memcpy(m_partial.data() + m_kept, block.data() + pos, take);
            m_kept += take;
            m_missing -= take;
            pos += take;
            if (!DrainKept(dispatcher)) {
                return false;
            }
            continue;
        }
        const std::span<const uint8_t> rest = block.subspan(pos);
        const DispatchOutcome out = dispatcher.Dispatch(rest);
        switch (out.kind) {
            case DispatchOutcome::kStop:
                return false;
            case DispatchOutcome::kNeedMore:
                if (rest.size() + out.missing > m_partial.size() || out.missing == 0) {
                    return true;  // cannot be a request: drop the rest
                }
                std::memcpy(m_partial.data(), rest.data(), rest.size());
                m_kept = rest.size();
                m_missing = out.missing;
                return true;
            case DispatchOutcome::kUsed:
                pos += std::clamp<std::size_t>(out.used, 1, rest.size());
                break;
        }
    }
    return true;
}

}  // namespace zorv
