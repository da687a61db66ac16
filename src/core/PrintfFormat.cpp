#include "core/PrintfFormat.h"

#include <cstring>

namespace zorv {

bool PrintfMatches(std::string_view format, std::span<const PrintfArg> args) {
    size_t next = 0;
    size_t i = 0;
    const size_t n = format.size();
    while (i < n) {
        if (format[i] != '%') {
            ++i;
            continue;
        }
        ++i;
        if (i < n && format[i] == '%') {
            ++i;
            continue;
        }
        while (i < n && std::strchr("-+ #0", format[i]) != nullptr) {
            ++i;
        }
        while (i < n && format[i] >= '0' && format[i] <= '9') {
            ++i;
        }
        if (i < n && format[i] == '.') {
            ++i;
            while (i < n && format[i] >= '0' && format[i] <= '9') {
                ++i;
            }
        }
        while (i < n && std::strchr("hlLqjzt", format[i]) != nullptr) {
            ++i;
        }
        if (i >= n) {
            return false;  // a conversion cut off at the end of the text
        }
        PrintfArg wanted;
        switch (format[i]) {
            case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c':
                wanted = PrintfArg::kInteger;
                break;
            case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
                wanted = PrintfArg::kFloating;
                break;
            case 's':
                wanted = PrintfArg::kString;
                break;
            case 'p':
                wanted = PrintfArg::kPointer;
                break;
            default:
                return false;  // '*', 'n' and anything unknown
        }
        ++i;
        if (next >= args.size() || args[next] != wanted) {
            return false;
        }
        ++next;
    }
    // Arguments beyond the last conversion are not used, as printf ignores
    // them: a replaced text may leave a value out.
    return true;
}

}  // namespace zorv
