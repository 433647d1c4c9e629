#pragma once

// A Notion "Markdown & CSV, include subpages" export turned into the pages of a new folder of
// the workspace, with what the preview shows and what the commit stores.

#include "server/notion/zipreader.h"
#include "json/json.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quorvale::server {

// A file of the export that the import stores, and the attachment blocks that show it.
struct ImportedFile
{
    std::string path; // inside the export, as the import's resources list it
    std::string contentType;
    std::uint64_t bytes = 0;
    bool image = false; // a picture the server can preview
    struct Use
    {
        std::string pageId;
        std::string blockId;
    };
    std::vector<Use> uses;
};

struct NotionConversion
{
    std::string name; // the archive's name
    std::string rootTitle;
    std::string rootId;
    // Page objects, the new root first and every parent before its children; "importBatchId",
    // times and the files' "assetId" are set by importedPages.
    JSON pages = JSON::array();
    JSON listLayouts = JSON::object(); // page id → that page's list layout
    std::vector<ImportedFile> files;
    JSON items = JSON::array();    // {"id", "title", "path"} of every page created
    JSON warnings = JSON::array(); // {"code", "page", "path", …}
    JSON summary = JSON::object();

    // "rootTitle", "name", "items", "warnings", "summary", "canImport": the preview without its
    // id and revision, which the import's store gives.
    JSON preview() const;
};

// Reads every page and database of the archive (files only as far as their type); refuses
// (400) an archive with no page at all.
NotionConversion convertNotionExport(const ZipReader &archive, std::string_view archiveName);

struct ImportStamp
{
    std::string title;   // the root's, as the user left it; the preview's when empty
    std::string batchId; // the import's, on every page
    std::string now;
    std::map<std::string, std::string> assetIds; // file path in the export → stored file id
};

// The pages to append to the workspace.
JSON importedPages(const NotionConversion &conversion, const ImportStamp &stamp);

// "Title 0123…" → the 32 lower-case hexadecimal digits Notion ends its names with, or "".
std::string notionIdOf(std::string_view stem);

} // namespace quorvale::server
