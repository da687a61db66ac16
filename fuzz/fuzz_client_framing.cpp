// The client protocol's reassembly and gate on arbitrary byte streams: the
// messages dispatched, the bytes skipped and where the gate stops must be
// the same whether the stream arrives whole or cut at any two points, and
// the gate never reads past what it is given (AddressSanitizer).
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "access/MessageAssembler.h"

namespace {

using namespace zorv;

class CRecorder final : public IMessageDispatcher {
public:
    explicit CRecorder(bool authorized) : m_authorized(authorized) {}
    DispatchOutcome Dispatch(std::span<const uint8_t> bytes) override {
        // A copy of exactly the bytes given, so reading past them is caught.
        std::vector<uint8_t> exact(bytes.begin(), bytes.end());
        const GateDecision d = GateMessage(exact, m_authorized);
        switch (d.kind) {
            case GateDecision::kRun:
                if (d.size == 0 || d.size > bytes.size() || d.size > kMaxRequestSize) {
                    std::abort();
                }
                messages.emplace_back(bytes.begin(), bytes.begin() + static_cast<long>(d.size));
                return {DispatchOutcome::kUsed, d.size, 0};
            case GateDecision::kSkip:
                if (d.size != kSkipSize || d.size > bytes.size()) {
                    std::abort();
                }
                skipped += d.size;
                return {DispatchOutcome::kUsed, d.size, 0};
            case GateDecision::kNeedMore:
                if (d.missing == 0 || bytes.size() + d.missing > kMaxRequestSize) {
                    std::abort();
                }
                return {DispatchOutcome::kNeedMore, 0, d.missing};
            case GateDecision::kUnauthorized:
                stopped = true;
                return {DispatchOutcome::kStop, 0, 0};
        }
        std::abort();
    }
    bool m_authorized;
    std::vector<std::vector<uint8_t>> messages;
    std::size_t skipped = 0;
    bool stopped = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const bool authorized = (data[0] & 1) != 0;
    const std::span<const uint8_t> stream(data + 3, size - 3);
    std::size_t cut1 = stream.empty() ? 0 : data[1] % (stream.size() + 1);
    std::size_t cut2 = stream.empty() ? 0 : data[2] * 7 % (stream.size() + 1);
    if (cut1 > cut2) {
        std::swap(cut1, cut2);
    }
    CRecorder whole(authorized);
    CMessageAssembler a;
    a.Feed(stream, whole);

    CRecorder split(authorized);
    CMessageAssembler b;
    if (b.Feed(stream.subspan(0, cut1), split) &&
        b.Feed(stream.subspan(cut1, cut2 - cut1), split)) {
        b.Feed(stream.subspan(cut2), split);
    }
    if (split.messages != whole.messages || split.skipped != whole.skipped ||
        split.stopped != whole.stopped || (!whole.stopped && a.Kept() != b.Kept())) {
        std::abort();
    }
    return 0;
}
