// Conversion between UTF-8 and the windows-1251 code page.
//
// The server's texts (journal lines, catalogue texts, mail, user names,
// settings values) are windows-1251 bytes, while the source files and the
// Linux tools around the server speak UTF-8. These two functions convert
// between them with the project's own 256-entry table, so that the result does
// not depend on the locale or on the iconv modules installed.
//
// Both functions take any bytes (the input is treated as untrusted), never read
// outside the given view, and are safe to call from any thread.
#pragma once

#include <string>
#include <string_view>

namespace zorv {

// UTF-8 to windows-1251.
//  - A well-formed character that the code page holds becomes its byte.
//  - A well-formed character that the code page lacks becomes one '?'.
//  - An ill-formed sequence becomes one '?' per maximal ill-formed part: a
//    lead byte with the continuation bytes that fit it before the sequence
//    breaks off counts once, any other stray byte (a lone continuation byte,
//    0xC0, 0xC1, 0xF5..0xFF) counts once by itself. Overlong forms, surrogates
//    (U+D800..U+DFFF) and values above U+10FFFF are ill-formed.
// ASCII passes through unchanged, including NUL.
std::string Utf8ToCp1251(std::string_view utf8);

// windows-1251 to UTF-8. Every byte has a character except 0x98, which the code
// page leaves undefined; it becomes U+FFFD (the replacement character), so a
// text read from a file never loses its length in characters. Converting that
// back gives '?'.
std::string Cp1251ToUtf8(std::string_view cp1251);

}  // namespace zorv
