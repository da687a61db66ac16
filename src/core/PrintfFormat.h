// Type-safe printf formatting of texts that may come from a language file.
//
// Catalogue texts are printf formats that an operator may replace. A replaced
// text whose conversions do not fit the arguments the caller passes (a "%s"
// where a number is passed, a missing or extra conversion) must not crash the
// server or print garbage: PrintfMatches checks a format against the argument
// kinds, and SafeSprintf formats only formats that match. A text may use
// fewer values than the caller passes (printf ignores the rest).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include <fmt/printf.h>

namespace zorv {

enum class PrintfArg : uint8_t { kInteger, kFloating, kString, kPointer };

template <typename T>
constexpr PrintfArg PrintfArgOf() {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, bool> || std::is_integral_v<U> || std::is_enum_v<U>) {
        return PrintfArg::kInteger;
    } else if constexpr (std::is_floating_point_v<U>) {
        return PrintfArg::kFloating;
    } else if constexpr (std::is_convertible_v<const U&, std::string_view>) {
        return PrintfArg::kString;
    } else {
        static_assert(std::is_pointer_v<U>, "unsupported printf argument type");
        return PrintfArg::kPointer;
    }
}

// True when every conversion of format takes one argument of the given kinds,
// in order. Fewer conversions than arguments match (the rest are not used);
// more do not. "%%" is a literal; "*" widths and unknown conversions never
// match.
bool PrintfMatches(std::string_view format, std::span<const PrintfArg> args);

namespace detail {
template <typename T>
decltype(auto) PrintfValue(const T& value) {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_enum_v<U>) {
        return static_cast<std::underlying_type_t<U>>(value);
    } else if constexpr (std::is_array_v<U>) {
        return static_cast<const char*>(value);  // a fixed text buffer ends at its zero
    } else if constexpr (PrintfArgOf<T>() == PrintfArg::kString && !std::is_pointer_v<U>) {
        return std::string_view(value);
    } else {
        return (value);
    }
}
}  // namespace detail

// The formatted text, or nullopt when the format does not match the arguments.
template <typename... Args>
std::optional<std::string> SafeSprintf(std::string_view format, const Args&... args) {
    static constexpr PrintfArg kinds[] = {PrintfArgOf<Args>()..., PrintfArg::kInteger};
    if (!PrintfMatches(format, std::span<const PrintfArg>(kinds, sizeof...(Args)))) {
        return std::nullopt;
    }
    try {
        return fmt::sprintf(format, detail::PrintfValue(args)...);
    } catch (const fmt::format_error&) {
        return std::nullopt;
    }
}

}  // namespace zorv
