// An exception that carries a numeric code, as exception reports to the
// server do (message 3, a = exception code). Exceptions of other types are
// reported with code 0.
#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace zorv {

class CCodedException : public std::runtime_error {
public:
    CCodedException(int32_t code, const std::string& what) : std::runtime_error(what), m_code(code) {}
    int32_t Code() const { return m_code; }

private:
    int32_t m_code;
};

// The code of the exception being handled: its own code for a CCodedException,
// 0 for anything else. Call only inside a catch block.
inline int32_t CurrentExceptionCode() {
    try {
        throw;
    } catch (const CCodedException& e) {
        return e.Code();
    } catch (...) {
        return 0;
    }
}

}  // namespace zorv
