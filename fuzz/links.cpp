// Block text as an import or a user leaves it, through the inline parser, the link rewriting
// and the click decision; adjacent runs must never share a style and a link.

#include "pageview/links.h"

#include <cstdint>
#include <cstdlib>

using namespace quorvale;

namespace {

const QUrl origin(QStringLiteral("https://notes.example.org"));

const JSON &workspace()
{
    static const JSON value = JSON::decode(R"({"pages":[{"id":"page-plain","title":"Plain"},
        {"id":"page-roadmap","notionSource":"notion:0123456789abcdef0123456789abcdef"}]})");
    return value;
}

const JSON &page()
{
    static const JSON value = JSON::decode(R"({"id":"page-roadmap","blocks":[
        {"id":"b2","type":"pageLink","notionLinkDestination":"Archive/Shared.png",
         "targetPageId":"page-plain"}]})");
    return value;
}

const JSON &resources()
{
    static const JSON value = JSON::decode(R"({"files":[
        {"id":"f-diagram","path":"Roadmap/diagram final.png","name":"diagram final.png"},
        {"id":"f-a","path":"Team/Shared.png","name":"Shared.png"},
        {"id":"f-b","path":"Other/Shared.png","name":"Shared.png"},{"id":"f-nameless"}]})");
    return value;
}

void checkMerged(const std::vector<links::Run> &runs)
{
    for (std::size_t i = 1; i < runs.size(); ++i) {
        const auto &a = runs[i - 1];
        const auto &b = runs[i];
        if (a.bold == b.bold && a.italic == b.italic && a.code == b.code && a.link == b.link)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const links::LinkContext context{workspace(), page(), resources(), origin};
    const auto parsed = links::parseInline(text, origin);
    checkMerged(parsed);
    for (const auto &run : parsed) {
        if (run.link) {
            links::rewriteLink(*run.link, context);
            links::open(*run.link, workspace(), origin);
        }
    }
    checkMerged(links::attributed(text, context));
    // The text as a URL a click could carry.
    links::open(QUrl(text), workspace(), origin);
    return 0;
}
