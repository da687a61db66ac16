#include "devices/BoardIo.h"

namespace zorv {

namespace {

// No kernel driver of the boards exists on Linux: every board is absent.
class CSystemBoardIoOpener final : public IBoardIoOpener {
public:
    std::unique_ptr<IBoardIo> Open(const std::string&, int) override { return nullptr; }
};

}  // namespace

IBoardIoOpener& SystemBoardIoOpener() {
    static CSystemBoardIoOpener opener;
    return opener;
}

}  // namespace zorv
