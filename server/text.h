#pragma once

// The checks and encodings of text that the server's parts share: what a name, an address or a
// content type may hold, UTF-8, hexadecimal and percent-encoding.

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvale::server {

constexpr std::size_t maxNameBytes = 200;

// Well-formed UTF-8 (RFC 3629): no overlong forms, surrogates or code points past U+10FFFF.
bool isValidUtf8(std::string_view text);
// At most maxBytes and no control characters.
bool isUsableText(std::string_view text, std::size_t maxBytes);
// An address that can go into a mail header as it is.
bool isUsableEmail(std::string_view email);
// A type as a client may declare it: printable ASCII with a "/", at most 255 characters.
bool isUsableContentType(std::string_view type);
// Whether a Content-Type header names this media type, parameters aside, in any letter case.
bool hasMediaType(std::string_view header, std::string_view mediaType);
bool startsWithIgnoringCase(std::string_view text, std::string_view prefix);
// Spaces and tabs off both ends.
std::string trimmed(std::string_view text);

// Lower-case hexadecimal, two digits a byte.
std::string toHex(std::string_view bytes);
// Every byte but ASCII letters, digits and those in keep as %XX; by default the unreserved
// characters of RFC 3986.
std::string percentEncode(std::string_view text, std::string_view keep = "-._~");
// %XX sequences decoded, and "+" as a space when plusIsSpace (form bodies); a "%" not followed
// by two hexadecimal digits stays as it is.
std::string percentDecode(std::string_view text, bool plusIsSpace);

} // namespace quorvale::server
