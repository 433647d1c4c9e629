#include "pageview/links.h"

#include "files/jsontext.h"

#include <md4c.h>

#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <string>
#include <string_view>

namespace quorvale::links {

namespace {

// Inserted into the parser's input only to keep block syntax from forming, and stripped from
// the text the parser hands back. A no-break space is whitespace to the emphasis rules, just as
// the start of a line is, but no indentation to the block rules.
constexpr std::string_view neutral = "\xC2\xA0";

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// md4c parses whole documents; inline-only text needs every line start and end that could
// form a block (or lose whitespace) neutralised, with the inline result left as it was.
struct Prepared
{
    std::string buffer;
    std::vector<std::size_t> inserted; // offsets of neutral sequences, ascending
};

Prepared prepare(const std::string &text)
{
    Prepared out;
    out.buffer.reserve(text.size() + text.size() / 8 + 8);
    auto insertNeutral = [&out] {
        out.inserted.push_back(out.buffer.size());
        out.buffer.append(neutral);
    };
    std::size_t start = 0;
    for (;;) {
        // Lines end as the parser sees them: at "\r\n", "\n" or a lone "\r".
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        const std::string_view line(text.data() + start, end - start);
        std::size_t next = end;
        if (next < text.size())
            next += text.compare(next, 2, "\r\n") == 0 ? 2U : 1U;
        const std::string_view ending(text.data() + end, next - end);

        std::size_t neutralAt = std::string_view::npos;
        if (line.empty() || isBlank(line.front())) {
            neutralAt = 0;
        } else {
            const char c = line.front();
            if (std::string_view("#>-+=~`[").find(c) != std::string_view::npos) {
                neutralAt = 0;
            } else if (c == '*' || c == '_') {
                const bool bullet = line.size() == 1 || isBlank(line[1]);
                const bool rule =
                    line.find_first_not_of(std::string{c, ' ', '\t'}) == std::string_view::npos;
                if (bullet || rule)
                    neutralAt = 0;
            } else if (c >= '0' && c <= '9') {
                const std::size_t digits = line.find_first_not_of("0123456789");
                if (digits != std::string_view::npos &&
                    (line[digits] == '.' || line[digits] == ')'))
                    neutralAt = digits;
            }
        }
        if (neutralAt != std::string_view::npos) {
            out.buffer.append(line.substr(0, neutralAt));
            insertNeutral();
            out.buffer.append(line.substr(neutralAt));
        } else {
            out.buffer.append(line);
        }
        if (!line.empty() && isBlank(line.back()))
            insertNeutral(); // keeps trailing spaces as text instead of a hard break
        out.buffer.append(ending);
        if (ending.empty()) {
            // md4c 0.4.8 reads past the end of a text that stops inside a link's destination
            // ("[a](b"); after a final line break it stops where it should.
            if (!line.empty())
                out.buffer.push_back('\n');
            break;
        }
        start = next;
    }
    return out;
}

QString decodeEntity(std::string_view entity)
{
    // "&name;", "&#123;" or "&#x1F;"
    if (entity.size() >= 4 && entity[1] == '#') {
        const bool hex = entity[2] == 'x' || entity[2] == 'X';
        const std::string digits(entity.substr(hex ? 3 : 2, entity.size() - (hex ? 4 : 3)));
        bool ok = false;
        const uint code = QString::fromLatin1(digits).toUInt(&ok, hex ? 16 : 10);
        if (!ok || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return QString(QChar::ReplacementCharacter);
        const char32_t wide = code;
        return QString::fromUcs4(&wide, 1);
    }
    static constexpr std::array<std::pair<std::string_view, char16_t>, 6> named{{
        {"&amp;", u'&'},
        {"&lt;", u'<'},
        {"&gt;", u'>'},
        {"&quot;", u'"'},
        {"&apos;", u'\''},
        {"&nbsp;", u'\u00A0'},
    }};
    for (const auto &[name, ch] : named) {
        if (entity == name)
            return QString(QChar(ch));
    }
    return jsontext::text(entity);
}

QString attributeText(const MD_ATTRIBUTE &attribute)
{
    QString out;
    for (int i = 0; attribute.substr_offsets[i] < attribute.size; ++i) {
        const MD_OFFSET from = attribute.substr_offsets[i];
        const MD_OFFSET to = attribute.substr_offsets[i + 1];
        const std::string_view part(attribute.text + from, to - from);
        switch (attribute.substr_types[i]) {
        case MD_TEXT_ENTITY:
            out += decodeEntity(part);
            break;
        case MD_TEXT_NULLCHAR:
            out += QChar(QChar::ReplacementCharacter);
            break;
        default:
            out += jsontext::text(part);
        }
    }
    return out;
}

struct Collector
{
    const Prepared &input;
    QUrl origin;
    std::vector<Run> runs;
    int strong = 0;
    int emphasis = 0;
    int code = 0;
    std::vector<std::optional<QUrl>> links;

    void append(const QString &text)
    {
        if (text.isEmpty())
            return;
        Run style;
        style.bold = strong > 0;
        style.italic = emphasis > 0;
        style.code = code > 0;
        if (!links.empty())
            style.link = links.back();
        if (!runs.empty()) {
            Run &lastRun = runs.back();
            if (lastRun.bold == style.bold && lastRun.italic == style.italic &&
                lastRun.code == style.code && lastRun.link == style.link) {
                lastRun.text += text;
                return;
            }
        }
        style.text = text;
        runs.push_back(std::move(style));
    }

    // Text that points into the prepared buffer loses the neutral sequences placed there.
    void appendSource(const char *text, std::size_t size)
    {
        const char *base = input.buffer.data();
        const std::less<const char *> before;
        if (before(text, base) || !before(text, base + input.buffer.size())) {
            append(jsontext::text({text, size}));
            return;
        }
        const std::size_t from = static_cast<std::size_t>(text - base);
        const std::size_t to = std::min(from + size, input.buffer.size());
        std::string kept;
        std::size_t pos = from;
        auto next = std::lower_bound(input.inserted.begin(), input.inserted.end(),
                                     from >= neutral.size() ? from - neutral.size() + 1 : 0);
        for (; next != input.inserted.end() && *next < to; ++next) {
            if (*next > pos)
                kept.append(base + pos, *next - pos);
            pos = std::max(pos, std::min(to, *next + neutral.size()));
        }
        if (to > pos)
            kept.append(base + pos, to - pos);
        append(jsontext::text(kept));
    }
};

Collector &collector(void *userdata)
{
    return *static_cast<Collector *>(userdata);
}

int enterSpan(MD_SPANTYPE type, void *detail, void *userdata)
{
    Collector &c = collector(userdata);
    switch (type) {
    case MD_SPAN_STRONG:
        ++c.strong;
        break;
    case MD_SPAN_EM:
        ++c.emphasis;
        break;
    case MD_SPAN_CODE:
        ++c.code;
        break;
    case MD_SPAN_A: {
        const QString href = attributeText(static_cast<MD_SPAN_A_DETAIL *>(detail)->href);
        const QUrl url(href, QUrl::TolerantMode);
        if (url.isValid())
            c.links.emplace_back(c.origin.resolved(url));
        else
            c.links.emplace_back(std::nullopt);
        break;
    }
    default:
        break;
    }
    return 0;
}

int leaveSpan(MD_SPANTYPE type, void *, void *userdata)
{
    Collector &c = collector(userdata);
    switch (type) {
    case MD_SPAN_STRONG:
        --c.strong;
        break;
    case MD_SPAN_EM:
        --c.emphasis;
        break;
    case MD_SPAN_CODE:
        --c.code;
        break;
    case MD_SPAN_A:
        if (!c.links.empty())
            c.links.pop_back();
        break;
    default:
        break;
    }
    return 0;
}

int onText(MD_TEXTTYPE type, const MD_CHAR *text, MD_SIZE size, void *userdata)
{
    Collector &c = collector(userdata);
    switch (type) {
    case MD_TEXT_NULLCHAR:
        c.append(QString(QChar(QChar::ReplacementCharacter)));
        break;
    case MD_TEXT_BR:
    case MD_TEXT_SOFTBR:
        c.append(QStringLiteral("\n"));
        break;
    case MD_TEXT_ENTITY:
        c.append(decodeEntity({text, size}));
        break;
    default:
        c.appendSource(text, size);
    }
    return 0;
}

int onBlock(MD_BLOCKTYPE, void *, void *)
{
    return 0;
}

// Percent-escapes decoded as UTF-8; nothing when the bytes are not UTF-8.
std::optional<QString> percentDecoded(const QString &encoded)
{
    const QByteArray bytes = QByteArray::fromPercentEncoding(encoded.toUtf8());
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

bool sameHost(const QUrl &a, const QUrl &b)
{
    return a.host().compare(b.host(), Qt::CaseInsensitive) == 0;
}

bool isExternalScheme(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == u"https" || scheme == u"http" || scheme == u"mailto";
}

QUrl pageLink(const QUrl &origin, const QString &pageId)
{
    QUrl link = origin;
    link.setPath(QStringLiteral("/"));
    link.setQuery(QString());
    link.setFragment(pageId);
    return link;
}

QUrl fileLink(const QUrl &origin, const QString &fileId)
{
    QUrl link = origin;
    // Encoded so that an id can never step out of the files path.
    link.setPath(QStringLiteral("/api/notion-files/") +
                     QString::fromLatin1(QUrl::toPercentEncoding(fileId)),
                 QUrl::StrictMode);
    link.setQuery(QString());
    link.setFragment(QString());
    return link;
}

const QRegularExpression &notionIdPattern()
{
    // 32 hexadecimal digits, optionally dashed as a UUID, at the end of the URL but for the
    // suffixes an export adds.
    static const QRegularExpression pattern(QStringLiteral(
        "([a-fA-F0-9]{8}-?[a-fA-F0-9]{4}-?[a-fA-F0-9]{4}-?[a-fA-F0-9]{4}-?[a-fA-F0-9]{12})"
        "(?:_all)?(?:\\.(?:md|csv))?(?:[?#].*)?$"));
    return pattern;
}

std::optional<QUrl> notionPage(const QString &decoded, const LinkContext &context)
{
    const QRegularExpressionMatch match = notionIdPattern().match(decoded);
    if (!match.hasMatch())
        return std::nullopt;
    const QString key =
        QStringLiteral("notion:") + match.captured(1).remove(QLatin1Char('-')).toLower();
    for (const JSON &page : context.workspace["pages"].arrayValue()) {
        if (jsontext::member(page, "notionSource") == key)
            return pageLink(context.origin, jsontext::text(page.id()));
    }
    return std::nullopt;
}

std::optional<QUrl> importedFile(const QUrl &url, const QString &relativePath,
                                 const LinkContext &context)
{
    const JSON::Array &files = context.resources["files"].arrayValue();
    // An exact path wins; a bare name only when no other file shares it.
    const JSON *byPath = nullptr;
    int pathMatches = 0;
    for (const JSON &file : files) {
        if (!relativePath.isEmpty() && jsontext::member(file, "path") == relativePath) {
            byPath = &file;
            ++pathMatches;
        }
    }
    if (pathMatches == 1 && !byPath->id().empty())
        return fileLink(context.origin, jsontext::text(byPath->id()));
    if (pathMatches > 1)
        return std::nullopt;
    const std::optional<QString> name = percentDecoded(url.fileName(QUrl::FullyEncoded));
    if (!name || name->isEmpty())
        return std::nullopt;
    const JSON *byName = nullptr;
    int nameMatches = 0;
    for (const JSON &file : files) {
        if (jsontext::member(file, "name") == *name) {
            byName = &file;
            ++nameMatches;
        }
    }
    if (nameMatches == 1 && !byName->id().empty())
        return fileLink(context.origin, jsontext::text(byName->id()));
    return std::nullopt;
}

std::optional<QUrl> recordedDestination(const QString &relativePath, const LinkContext &context)
{
    if (relativePath.isEmpty())
        return std::nullopt;
    for (const JSON &block : context.page["blocks"].arrayValue()) {
        if (jsontext::member(block, "notionLinkDestination") != relativePath)
            continue;
        const QString target = jsontext::member(block, "targetPageId");
        if (!target.isEmpty())
            return pageLink(context.origin, target);
    }
    return std::nullopt;
}

} // namespace

std::vector<Run> parseInline(const QString &text, const QUrl &origin)
{
    if (text.isEmpty())
        return {};
    const Prepared input = prepare(text.toStdString());
    Collector collected{input, origin, {}, 0, 0, 0, {}};
    MD_PARSER parser{};
    parser.abi_version = 0;
    parser.flags = MD_FLAG_NOHTML | MD_FLAG_NOINDENTEDCODEBLOCKS;
    parser.enter_block = onBlock;
    parser.leave_block = onBlock;
    parser.enter_span = enterSpan;
    parser.leave_span = leaveSpan;
    parser.text = onText;
    if (input.buffer.size() > std::numeric_limits<MD_SIZE>::max() ||
        md_parse(input.buffer.data(), static_cast<MD_SIZE>(input.buffer.size()), &parser,
                 &collected) != 0) {
        return {Run{text, false, false, false, std::nullopt}};
    }
    return std::move(collected.runs);
}

std::optional<QUrl> rewriteLink(const QUrl &url, const LinkContext &context)
{
    const QString encoded = url.toString(QUrl::FullyEncoded);
    if (const auto page = notionPage(percentDecoded(encoded).value_or(encoded), context))
        return page;

    const QString path = url.path(QUrl::FullyEncoded);
    if (sameHost(url, context.origin) && !path.startsWith(u"/api/")) {
        const QString relativePath = percentDecoded(path).value_or(path).mid(1);
        if (const auto file = importedFile(url, relativePath, context))
            return file;
        return recordedDestination(relativePath, context);
    }
    if (isExternalScheme(url))
        return url;
    return std::nullopt;
}

std::vector<Run> attributed(const QString &text, const LinkContext &context)
{
    std::vector<Run> runs;
    for (Run &run : parseInline(text, context.origin)) {
        if (run.link)
            run.link = rewriteLink(*run.link, context);
        if (!runs.empty()) {
            Run &lastRun = runs.back();
            if (lastRun.bold == run.bold && lastRun.italic == run.italic &&
                lastRun.code == run.code && lastRun.link == run.link) {
                lastRun.text += run.text;
                continue;
            }
        }
        runs.push_back(std::move(run));
    }
    return runs;
}

LinkAction open(const QUrl &url, const JSON &workspace, const QUrl &origin)
{
    LinkAction action;
    if (!sameHost(url, origin)) {
        if (isExternalScheme(url)) {
            action.kind = LinkAction::Kind::OpenExternally;
            action.url = url;
        }
        return action;
    }
    if (url.hasFragment()) {
        const QString fragment = url.fragment(QUrl::FullyDecoded);
        for (const JSON &page : workspace["pages"].arrayValue()) {
            if (!fragment.isEmpty() && jsontext::text(page.id()) == fragment) {
                action.kind = LinkAction::Kind::SelectPage;
                action.pageId = fragment;
                return action;
            }
        }
    }
    // Dot segments resolved first, so that only real file paths count as files.
    const QUrl normalized = url.adjusted(QUrl::NormalizePathSegments);
    const QString path = normalized.path(QUrl::FullyEncoded);
    const QString name = normalized.fileName(QUrl::FullyDecoded);
    if (path.startsWith(u"/api/notion-files/") && !name.isEmpty()) {
        action.kind = LinkAction::Kind::SaveFile;
        action.path = path;
        action.fileName = name;
    }
    return action;
}

} // namespace quorvale::links
