#pragma once

// The link logic of block text, free of widgets: inline Markdown to styled runs, links of an
// import rewritten to pages and files of this workspace, and the decision taken on a click.

#include "json/json.h"

#include <QString>
#include <QUrl>

#include <optional>
#include <vector>

namespace quorvale::links {

// One stretch of block text with one style. Internal links are URLs on the server origin:
// origin + "/#" + page id selects a page, origin + "/api/notion-files/" + file id saves a file;
// anything else left as a link is an external URL for the system to open.
struct Run
{
    QString text;
    bool bold = false;
    bool italic = false;
    bool code = false;
    std::optional<QUrl> link;

    friend bool operator==(const Run &, const Run &) = default;
};

// Parses inline Markdown only (emphasis, code spans, links, <autolinks>): block syntax such as
// "# ", "- " or "1. " at a line start stays literal text and the text's line breaks and spaces
// are kept. Link destinations are returned resolved against origin but not yet rewritten.
// Adjacent runs never share the same style and link.
std::vector<Run> parseInline(const QString &text, const QUrl &origin);

// What a block's links may point to.
struct LinkContext
{
    const JSON &workspace; // the document; its "pages" carry "id" and "notionSource"
    const JSON &page;      // the page holding the block; its "blocks" carry link fallbacks
    const JSON &resources; // the page's import resources; its "files" carry "id", "path", "name"
    QUrl origin;           // the server origin
};

// The new target of one link: an internal link, the link unchanged, or none (plain text).
std::optional<QUrl> rewriteLink(const QUrl &url, const LinkContext &context);

// parseInline, then rewriteLink on every link; runs that lose their link merge with neighbours.
std::vector<Run> attributed(const QString &text, const LinkContext &context);

// What a click on a link inside a page does; the view carries it out.
struct LinkAction
{
    enum class Kind { Discard, SelectPage, SaveFile, OpenExternally };
    Kind kind = Kind::Discard;
    QString pageId;   // SelectPage: the page to select
    QString path;     // SaveFile: the server path to download
    QString fileName; // SaveFile: the proposed file name
    QUrl url;         // OpenExternally: the URL for the system

    friend bool operator==(const LinkAction &, const LinkAction &) = default;
};

LinkAction open(const QUrl &url, const JSON &workspace, const QUrl &origin);

} // namespace quorvale::links
