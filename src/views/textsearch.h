#pragma once

// Case- and accent-insensitive containment, folding exactly as document::searchKey does, but
// one character at a time into a reused buffer: searching every block of a workspace on each
// keystroke stays fast for long, mostly ASCII texts.

#include <string>
#include <string_view>

namespace quorvale {

class TextSearch final
{
public:
    explicit TextSearch(std::string_view needle);

    // True for every text when the folded needle is empty.
    bool foundIn(std::string_view text);

    // Appends text's search key to out: compatibility-decomposed, case-folded, marks stripped.
    static void appendKey(std::string &out, std::string_view text);

private:
    std::string m_needle;
    std::string m_buffer;
};

} // namespace quorvale
