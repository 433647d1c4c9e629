#include "server/notion/notionmarkdown.h"

#include "server/text.h"
#include "server/util.h"

#include <md4c.h>

#include <algorithm>
#include <cctype>
#include <optional>

namespace quorvale::server {

namespace {

constexpr std::string_view calloutIcon = "\xF0\x9F\x92\xA1"; // 💡, which the client draws itself
constexpr std::size_t excerptBytes = 80;

// Characters that would turn literal text into markup once the client parses it again.
void appendEscaped(std::string &out, std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool entityStart =
            c == '&' && i + 1 < text.size() &&
            (text[i + 1] == '#' || std::isalnum(static_cast<unsigned char>(text[i + 1])));
        if (c == '\\' || c == '`' || c == '*' || c == '_' || c == '[' || c == ']' || c == '<' ||
            entityStart)
            out += '\\';
        out += c;
    }
}

// A destination that stays one token inside "(…)".
std::string safeDestination(std::string_view destination)
{
    std::string out;
    for (const char c : destination) {
        switch (c) {
        case ' ':
            out += "%20";
            break;
        case '(':
            out += "%28";
            break;
        case ')':
            out += "%29";
            break;
        case '<':
            out += "%3C";
            break;
        case '>':
            out += "%3E";
            break;
        case '\n':
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string codeSpan(std::string_view code)
{
    std::size_t longest = 0;
    std::size_t run = 0;
    for (const char c : code) {
        run = c == '`' ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    const std::string fence(longest + 1, '`');
    const bool pad = !code.empty() && (code.front() == '`' || code.back() == '`');
    return fence + (pad ? " " : "") + std::string(code) + (pad ? " " : "") + fence;
}

// A valid UTF-8 start of the text, for warnings.
std::string excerpt(std::string_view text)
{
    std::size_t end = std::min(text.size(), excerptBytes);
    while (end > 0 && end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return trimmed(text.substr(0, end));
}

class Converter final
{
public:
    explicit Converter(const LinkRewriter &rewrite)
        : m_rewrite(rewrite)
    {}

    MarkdownPage take() { return std::move(m_page); }

    void parse(std::string_view markdown, bool callout)
    {
        m_callout = callout;
        m_calloutStarted = false;
        MD_PARSER parser{};
        parser.flags =
            MD_FLAG_TABLES | MD_FLAG_TASKLISTS | MD_FLAG_STRIKETHROUGH | MD_FLAG_NOHTMLSPANS;
        parser.enter_block = [](MD_BLOCKTYPE type, void *detail, void *self) {
            return static_cast<Converter *>(self)->enterBlock(type, detail);
        };
        parser.leave_block = [](MD_BLOCKTYPE type, void *detail, void *self) {
            return static_cast<Converter *>(self)->leaveBlock(type, detail);
        };
        parser.enter_span = [](MD_SPANTYPE type, void *detail, void *self) {
            return static_cast<Converter *>(self)->enterSpan(type, detail);
        };
        parser.leave_span = [](MD_SPANTYPE type, void *detail, void *self) {
            return static_cast<Converter *>(self)->leaveSpan(type, detail);
        };
        parser.text = [](MD_TEXTTYPE type, const MD_CHAR *text, MD_SIZE size, void *self) {
            return static_cast<Converter *>(self)->onText(type, std::string_view(text, size));
        };
        // md4c 0.4.8 reads past the end of a text that stops inside a link's destination
        // ("[a](b" with no line break after it); a final line break changes nothing else.
        std::string terminated;
        if (!markdown.empty() && markdown.back() != '\n') {
            terminated.reserve(markdown.size() + 1);
            terminated.append(markdown).push_back('\n');
            markdown = terminated;
        }
        md_parse(markdown.data(), static_cast<MD_SIZE>(markdown.size()), &parser, this);
        m_containers.clear();
        m_target.reset();
    }

private:
    enum class Mode { Markdown, Raw, Plain };
    struct Container
    {
        MD_BLOCKTYPE type;
        unsigned next = 1;             // lists: the number of the next item
        std::optional<std::size_t> li; // items: their block, until their text is taken
    };
    // One link or picture of the paragraph being read.
    struct Span
    {
        std::size_t start = 0;
        std::string destination;
        bool image = false;
        LinkOutcome outcome;
    };

    JSON::Array &blocks() { return m_page.blocks.elements(); }

    std::size_t addBlock(std::string_view type)
    {
        m_page.blocks.append(newBlock(type));
        return blocks().size() - 1;
    }

    void startText(std::size_t block, Mode mode)
    {
        flush();
        m_target = block;
        m_mode = mode;
        m_text.clear();
        m_plain.clear();
        m_spans = 0;
        m_onlySpan.reset();
        m_outsideSpans = false;
    }

    // The text gathered so far goes into its block.
    void flush()
    {
        if (!m_target)
            return;
        JSON &block = blocks()[*m_target];
        std::string text = std::move(m_text);
        if (m_mode == Mode::Raw && text.ends_with('\n'))
            text.pop_back();
        if (block["type"].stringValue() == "callout" && !m_calloutStarted) {
            m_calloutStarted = true;
            if (text.starts_with(calloutIcon))
                text = trimmed(std::string_view(text).substr(calloutIcon.size()));
        }
        block.set("text", text);
        m_target.reset();
        m_text.clear();
    }

    bool inside(MD_BLOCKTYPE type) const
    {
        return std::any_of(m_containers.begin(), m_containers.end(),
                           [type](const Container &c) { return c.type == type; });
    }

    int enterBlock(MD_BLOCKTYPE type, void *detail)
    {
        // A nested block ends the tight text of the item around it.
        if (type != MD_BLOCK_P && !m_containers.empty() && m_containers.back().li)
            takeItemText();
        switch (type) {
        case MD_BLOCK_QUOTE:
        case MD_BLOCK_UL:
            m_containers.push_back({type, 1, std::nullopt});
            break;
        case MD_BLOCK_OL:
            m_containers.push_back(
                {type, static_cast<const MD_BLOCK_OL_DETAIL *>(detail)->start, std::nullopt});
            break;
        case MD_BLOCK_LI:
            enterItem(*static_cast<const MD_BLOCK_LI_DETAIL *>(detail));
            break;
        case MD_BLOCK_HR:
            flush();
            addBlock("divider");
            break;
        case MD_BLOCK_H: {
            const unsigned level = static_cast<const MD_BLOCK_H_DETAIL *>(detail)->level;
            startText(addBlock(level <= 1 ? "h1" : level == 2 ? "h2" : "h3"), Mode::Markdown);
            break;
        }
        case MD_BLOCK_CODE:
            startText(addBlock("code"), Mode::Raw);
            break;
        case MD_BLOCK_HTML:
            startText(addBlock("text"), Mode::Raw);
            break;
        case MD_BLOCK_P:
            enterParagraph();
            break;
        case MD_BLOCK_TABLE:
            flush();
            m_table = JSON::object({{"headers", JSON::array()}, {"rows", JSON::array()}});
            break;
        case MD_BLOCK_THEAD:
            m_inHead = true;
            break;
        case MD_BLOCK_TR:
            m_row = JSON::array();
            break;
        case MD_BLOCK_TH:
        case MD_BLOCK_TD:
            m_text.clear();
            m_plain.clear();
            m_mode = Mode::Plain;
            m_inCell = true;
            break;
        default:
            break;
        }
        return 0;
    }

    int leaveBlock(MD_BLOCKTYPE type, void *detail)
    {
        (void)detail;
        switch (type) {
        case MD_BLOCK_QUOTE:
        case MD_BLOCK_UL:
        case MD_BLOCK_OL:
            m_containers.pop_back();
            break;
        case MD_BLOCK_LI:
            if (m_containers.back().li)
                takeItemText();
            m_containers.pop_back();
            break;
        case MD_BLOCK_H:
            leaveHeading();
            break;
        case MD_BLOCK_HTML: {
            const std::size_t at = *m_target;
            flush();
            m_page.unsupported.push_back(excerpt(blocks()[at]["text"].stringValue()));
            break;
        }
        case MD_BLOCK_P:
            leaveParagraph();
            break;
        case MD_BLOCK_CODE:
            flush();
            break;
        case MD_BLOCK_TH:
        case MD_BLOCK_TD:
            m_row.append(trimmed(m_plain));
            m_inCell = false;
            break;
        case MD_BLOCK_TR:
            if (m_inHead)
                m_table.set("headers", m_row);
            else
                m_table.member("rows").append(m_row);
            break;
        case MD_BLOCK_TABLE: {
            const std::size_t at = addBlock("table");
            blocks()[at].set("text", m_table.encode());
            blocks()[at].set("headers", m_table["headers"]);
            blocks()[at].set("rows", m_table["rows"]);
            break;
        }
        default:
            break;
        }
        if (type == MD_BLOCK_THEAD)
            m_inHead = false;
        if (type == MD_BLOCK_TBODY)
            m_inHead = false;
        return 0;
    }

    void enterItem(const MD_BLOCK_LI_DETAIL &detail)
    {
        Container &list = m_containers.back();
        const bool numbered = list.type == MD_BLOCK_OL;
        const char *type = detail.is_task ? "todo" : numbered ? "number" : "bullet";
        const std::size_t at = addBlock(type);
        JSON &block = blocks()[at];
        if (detail.is_task)
            block.set("checked", detail.task_mark == 'x' || detail.task_mark == 'X');
        const auto lists =
            std::count_if(m_containers.begin(), m_containers.end(), [](const Container &c) {
                return c.type == MD_BLOCK_UL || c.type == MD_BLOCK_OL;
            });
        JSON layout = JSON::object({{"indent", static_cast<double>(lists - 1)}});
        if (numbered)
            layout.set("number", static_cast<double>(list.next));
        ++list.next;
        m_page.listLayout.set(block.id(), layout);
        m_containers.push_back({MD_BLOCK_LI, 0, at});
        startText(at, Mode::Markdown);
    }

    void takeItemText()
    {
        if (m_target && m_target == m_containers.back().li)
            flush();
        m_containers.back().li.reset();
    }

    void enterParagraph()
    {
        // A loose item's first paragraph is the item's own text.
        if (!m_containers.empty() && m_containers.back().li && m_target == m_containers.back().li) {
            m_containers.back().li.reset();
            return;
        }
        const char *type = m_callout ? "callout" : inside(MD_BLOCK_QUOTE) ? "quote" : "text";
        startText(addBlock(type), Mode::Markdown);
    }

    void leaveHeading()
    {
        // Notion starts every page with its title as a heading.
        if (m_page.title.empty() && blocks().size() == 1 && !m_callout &&
            blocks()[0]["type"].stringValue() == "h1") {
            m_page.title = trimmed(m_plain);
            m_target.reset();
            blocks().clear();
            return;
        }
        flush();
    }

    // A paragraph that is one link alone becomes a link to the page, or the file itself.
    void leaveParagraph()
    {
        if (!m_target)
            return;
        const std::size_t at = *m_target;
        const bool alone = m_spans == 1 && !m_outsideSpans && m_onlySpan;
        const std::string label = trimmed(m_plain);
        const std::optional<Span> span = m_onlySpan;
        flush();
        if (!alone || blocks()[at]["type"].stringValue() != "text")
            return;
        const LinkOutcome &outcome = span->outcome;
        JSON &block = blocks()[at];
        if (outcome.kind == LinkOutcome::Kind::Page && !span->image) {
            block.set("type", "pageLink");
            block.set("text", label);
            block.set("targetPageId", outcome.targetPageId);
            std::string destination = percentDecode(span->destination, false);
            while (destination.starts_with("./"))
                destination.erase(0, 2);
            block.set("notionLinkDestination", destination);
        } else if (outcome.kind == LinkOutcome::Kind::File) {
            block.set("type", "attachment");
            block.set("text", outcome.filePath.substr(outcome.filePath.rfind('/') + 1));
            block.set("assetId", "");
            m_page.attachments.push_back({std::string(block.id()), outcome.filePath});
        }
    }

    int enterSpan(MD_SPANTYPE type, void *detail)
    {
        if (m_mode == Mode::Plain || !m_target) {
            return 0;
        }
        switch (type) {
        case MD_SPAN_EM:
            m_text += '*';
            break;
        case MD_SPAN_STRONG:
            m_text += "**";
            break;
        case MD_SPAN_CODE:
            m_codeStart = m_text.size();
            break;
        case MD_SPAN_A:
        case MD_SPAN_IMG: {
            const MD_ATTRIBUTE &where = type == MD_SPAN_A
                                            ? static_cast<const MD_SPAN_A_DETAIL *>(detail)->href
                                            : static_cast<const MD_SPAN_IMG_DETAIL *>(detail)->src;
            Span span{m_text.size(), std::string(where.text, where.size), type == MD_SPAN_IMG, {}};
            ++m_spans;
            m_onlySpan = m_spans == 1 ? std::optional<Span>(span) : std::nullopt;
            m_links.push_back(std::move(span));
            m_text += '[';
            break;
        }
        default:
            break;
        }
        return 0;
    }

    int leaveSpan(MD_SPANTYPE type, void *)
    {
        if (m_mode == Mode::Plain || !m_target)
            return 0;
        switch (type) {
        case MD_SPAN_EM:
            m_text += '*';
            break;
        case MD_SPAN_STRONG:
            m_text += "**";
            break;
        case MD_SPAN_CODE: {
            const std::string code = m_text.substr(m_codeStart);
            m_text.resize(m_codeStart);
            m_text += codeSpan(code);
            m_codeStart = npos();
            break;
        }
        case MD_SPAN_A:
        case MD_SPAN_IMG: {
            // md4c may end a link it never started (it does for "![]([)]()").
            if (m_links.empty())
                break;
            const Span span = m_links.back();
            m_links.pop_back();
            LinkOutcome outcome = m_rewrite(span.destination);
            m_text += "](" + safeDestination(outcome.destination) + ")";
            if (m_spans == 1 && m_onlySpan)
                m_onlySpan->outcome = std::move(outcome);
            break;
        }
        default:
            break;
        }
        return 0;
    }

    int onText(MD_TEXTTYPE type, std::string_view text)
    {
        if (!m_target && !m_inCell)
            return 0;
        // The text of a NUL character is not to be read: it stands for U+FFFD.
        if (m_links.empty() && (type == MD_TEXT_NULLCHAR || !trimmed(text).empty()))
            m_outsideSpans = true;
        switch (type) {
        case MD_TEXT_NULLCHAR:
            m_text += "\xEF\xBF\xBD";
            m_plain += "\xEF\xBF\xBD";
            return 0;
        case MD_TEXT_BR:
        case MD_TEXT_SOFTBR:
            m_text += '\n';
            m_plain += m_inCell ? ' ' : '\n';
            return 0;
        case MD_TEXT_ENTITY:
            // The client reads entities itself; the plain text keeps them as written.
            m_text += text;
            m_plain += text;
            return 0;
        default:
            break;
        }
        m_plain += text;
        if (m_mode == Mode::Markdown && !(type == MD_TEXT_CODE && m_codeStart != npos()))
            appendEscaped(m_text, text);
        else
            m_text += text;
        return 0;
    }

    static constexpr std::size_t npos() { return std::string::npos; }

    const LinkRewriter &m_rewrite;
    MarkdownPage m_page;
    std::vector<Container> m_containers;
    std::optional<std::size_t> m_target;
    Mode m_mode = Mode::Markdown;
    std::string m_text;
    std::string m_plain;
    std::size_t m_codeStart = std::string::npos;
    std::vector<Span> m_links;
    int m_spans = 0;
    std::optional<Span> m_onlySpan;
    bool m_outsideSpans = false;
    bool m_callout = false;
    bool m_calloutStarted = false;
    JSON m_table;
    JSON m_row;
    bool m_inCell = false;
    bool m_inHead = false;
};

// Notion writes callouts as "<aside>" … "</aside>" around Markdown; md4c would see HTML.
std::vector<std::pair<std::string_view, bool>> splitCallouts(std::string_view markdown)
{
    std::vector<std::pair<std::string_view, bool>> parts;
    std::size_t start = 0;
    std::size_t pos = 0;
    bool inCallout = false;
    std::size_t calloutStart = 0;
    std::size_t calloutLine = 0;
    bool fenced = false;
    while (pos < markdown.size()) {
        std::size_t end = markdown.find('\n', pos);
        end = end == std::string_view::npos ? markdown.size() : end + 1;
        std::string_view line = markdown.substr(pos, end - pos);
        while (line.ends_with('\n') || line.ends_with('\r'))
            line.remove_suffix(1);
        const std::string clean = trimmed(line);
        if (clean.starts_with("```") || clean.starts_with("~~~"))
            fenced = !fenced;
        if (!fenced && !inCallout && clean == "<aside>") {
            parts.push_back({markdown.substr(start, pos - start), false});
            inCallout = true;
            calloutStart = end;
            calloutLine = pos;
        } else if (!fenced && inCallout && clean == "</aside>") {
            parts.push_back({markdown.substr(calloutStart, pos - calloutStart), true});
            inCallout = false;
            start = end;
        }
        pos = end;
    }
    // An aside that never closes is ordinary text.
    parts.push_back({markdown.substr(inCallout ? calloutLine : start), false});
    return parts;
}

} // namespace

JSON newBlock(std::string_view type)
{
    return JSON::object({{"id", newId()}, {"type", type}, {"text", ""}, {"checked", false}});
}

MarkdownPage markdownToBlocks(std::string_view markdown, const LinkRewriter &rewrite)
{
    Converter converter(rewrite);
    for (const auto &[part, callout] : splitCallouts(markdown)) {
        if (!trimmed(part).empty())
            converter.parse(part, callout);
    }
    return converter.take();
}

} // namespace quorvale::server
