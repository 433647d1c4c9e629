#include "textsearch.h"

#include <utf8proc.h>

namespace quorvale {

namespace {

const auto foldOptions =
    static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPAT | UTF8PROC_CASEFOLD |
                                   UTF8PROC_STRIPMARK | UTF8PROC_DECOMPOSE);

} // namespace

TextSearch::TextSearch(std::string_view needle)
{
    appendKey(m_needle, needle);
}

bool TextSearch::foundIn(std::string_view text)
{
    m_buffer.clear();
    appendKey(m_buffer, text);
    return m_buffer.find(m_needle) != std::string::npos;
}

void TextSearch::appendKey(std::string &out, std::string_view text)
{
    // Decomposition, case folding and mark stripping act on each character alone, and once
    // marks are gone nothing is left to reorder: folding character by character gives the same
    // key as folding the whole text.
    const std::size_t start = out.size();
    const auto *bytes = reinterpret_cast<const utf8proc_uint8_t *>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const utf8proc_uint8_t c = bytes[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c));
            ++i;
            continue;
        }
        utf8proc_int32_t code = 0;
        const utf8proc_ssize_t length =
            utf8proc_iterate(bytes + i, static_cast<utf8proc_ssize_t>(size - i), &code);
        constexpr utf8proc_ssize_t room = 32; // longer than any decomposition of Unicode 15
        utf8proc_int32_t folded[room];
        int boundary = 0;
        const utf8proc_ssize_t n =
            length > 0 ? utf8proc_decompose_char(code, folded, room, foldOptions, &boundary) : -1;
        if (n < 0 || n > room) {
            // Not UTF-8 (JSON text never is): the text is matched byte for byte, as searchKey does.
            out.resize(start);
            out.append(text);
            return;
        }
        for (utf8proc_ssize_t k = 0; k < n; ++k) {
            utf8proc_uint8_t encoded[4];
            const utf8proc_ssize_t written = utf8proc_encode_char(folded[k], encoded);
            out.append(reinterpret_cast<const char *>(encoded), static_cast<std::size_t>(written));
        }
        i += static_cast<std::size_t>(length);
    }
}

} // namespace quorvale
