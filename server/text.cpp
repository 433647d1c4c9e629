#include "server/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quorvale::server {

namespace {

char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whatever the locale says.
bool isAsciiAlphanumeric(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = lowerAscii(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

void appendHex(std::string &out, unsigned char byte, bool upper)
{
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    out += digits[byte >> 4];
    out += digits[byte & 0x0f];
}

} // namespace

bool isValidUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        std::uint32_t code = lead;
        if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            code = lead & 0x07u;
        } else if (lead >= 0xe0 && lead < 0xf0) {
            length = 3;
            code = lead & 0x0fu;
        } else if (lead >= 0xc2 && lead < 0xe0) {
            length = 2;
            code = lead & 0x1fu;
        } else if (lead >= 0x80) {
            return false;
        }
        if (i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3fu);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff))) ||
            (length == 4 && (code < 0x10000 || code > 0x10ffff)))
            return false;
        i += length;
    }
    return true;
}

bool isUsableText(std::string_view text, std::size_t maxBytes)
{
    return text.size() <= maxBytes && std::none_of(text.begin(), text.end(), [](char c) {
               const auto u = static_cast<unsigned char>(c);
               return u < 0x20 || u == 0x7f;
           });
}

bool isUsableEmail(std::string_view email)
{
    if (email.size() < 3 || email.size() > 254)
        return false;
    const auto at = email.find('@');
    if (at == 0 || at == std::string_view::npos || at + 1 == email.size() ||
        email.find('@', at + 1) != std::string_view::npos)
        return false;
    return std::none_of(email.begin(), email.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f || std::strchr("<>()[],;:\\\"", c) != nullptr;
    });
}

bool isUsableContentType(std::string_view type)
{
    return !type.empty() && type.size() <= 255 && type.find('/') != std::string_view::npos &&
           std::all_of(type.begin(), type.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char a, char b) { return lowerAscii(a) == lowerAscii(b); });
}

bool hasMediaType(std::string_view header, std::string_view mediaType)
{
    return startsWithIgnoringCase(header, mediaType) &&
           (header.size() == mediaType.size() || header[mediaType.size()] == ';' ||
            header[mediaType.size()] == ' ');
}

std::string trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    return first == std::string_view::npos ? std::string()
                                           : std::string(text.substr(first, last - first + 1));
}

std::string toHex(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes)
        appendHex(out, static_cast<unsigned char>(c), false);
    return out;
}

std::string percentEncode(std::string_view text, std::string_view keep)
{
    std::string out;
    for (const char c : text) {
        if (isAsciiAlphanumeric(c) || keep.find(c) != std::string_view::npos) {
            out += c;
        } else {
            out += '%';
            appendHex(out, static_cast<unsigned char>(c), true);
        }
    }
    return out;
}

std::string percentDecode(std::string_view text, bool plusIsSpace)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+' && plusIsSpace) {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
                   hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace quorvale::server
