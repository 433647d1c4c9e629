#pragma once

// Case- and accent-insensitive containment: the one folding of search texts (the meetings
// filter and the all-pages search), one character at a time into a reused buffer, so that
// searching every block of a workspace on each keystroke stays fast for long, mostly ASCII texts.

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
