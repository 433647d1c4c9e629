#pragma once

// One Notion Markdown page turned into workspace blocks with md4c: the block types the client
// shows, list nesting and numbering for the import's list layout, and every link handed to the
// caller to be pointed at a page or a file of the import.

#include "json/json.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvale::server {

// What a link of the page becomes.
struct LinkOutcome
{
    enum class Kind { Other, Page, File };
    Kind kind = Kind::Other;
    std::string destination;  // written into the block text, percent-encoded
    std::string targetPageId; // Page: the new page
    std::string filePath;     // File: the entry in the export
};

// Gets each destination as written (percent-encoded, relative to the page's folder).
using LinkRewriter = std::function<LinkOutcome(std::string_view destination)>;

struct MarkdownPage
{
    std::string title; // the leading "# " heading, which Notion repeats from the page's name
    JSON blocks = JSON::array();
    JSON listLayout = JSON::object(); // block id → {"indent", "number"}
    struct Attachment
    {
        std::string blockId;
        std::string filePath;
    };
    std::vector<Attachment> attachments;
    std::vector<std::string> unsupported; // the start of each block that could not be kept
};

MarkdownPage markdownToBlocks(std::string_view markdown, const LinkRewriter &rewrite);

// A workspace block as the client builds it: id, type, empty text, unchecked.
JSON newBlock(std::string_view type);

} // namespace quorvale::server
