#include "server/notion/notionexport.h"

#include "server/imagepreview.h"
#include "server/importstore.h"
#include "server/notion/notionmarkdown.h"
#include "server/text.h"
#include "server/util.h"

#include <algorithm>
#include <functional>
#include <regex>
#include <set>
#include <unordered_map>

namespace quorvale::server {

namespace {

constexpr std::uint64_t maxPageBytes = std::uint64_t{16} << 20;
constexpr std::size_t sniffBytes = 16;
constexpr const char *pageIcon = "\U0001F4C4";

std::string_view directoryOf(std::string_view path)
{
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

std::string_view nameOf(std::string_view path)
{
    return path.substr(path.rfind('/') + 1);
}

std::string lowerExtension(std::string_view name)
{
    const auto dot = name.rfind('.');
    std::string extension(dot == std::string_view::npos ? std::string_view() : name.substr(dot));
    std::transform(extension.begin(), extension.end(), extension.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return extension;
}

std::string_view withoutExtension(std::string_view path)
{
    const auto dot = path.rfind('.');
    return dot == std::string_view::npos || dot < path.rfind('/') + 1 ? path : path.substr(0, dot);
}

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The folder a page's children live in: its path without extension, or "_all" for a twin.
std::string folderOf(std::string_view path)
{
    std::string_view folder = withoutExtension(path);
    if (folder.ends_with("_all") && !notionIdOf(folder.substr(0, folder.size() - 4)).empty())
        folder.remove_suffix(4);
    return std::string(folder);
}

std::string titleOf(std::string_view stem)
{
    if (!notionIdOf(stem).empty())
        stem.remove_suffix(32);
    return trimmed(stem);
}

// "a/b/../c" → "a/c"; nothing when it climbs out of the export.
std::optional<std::string> normalized(std::string_view path)
{
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const auto slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (parts.empty())
                return std::nullopt;
            parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string joined;
    for (const auto part : parts)
        joined += (joined.empty() ? "" : "/") + std::string(part);
    return joined;
}

bool hasScheme(std::string_view destination)
{
    static const std::regex scheme("^[A-Za-z][A-Za-z0-9+.-]*:");
    return std::regex_search(destination.begin(), destination.end(), scheme);
}

// RFC 4180 records; a byte-order mark is skipped and CR LF ends a record like LF.
std::vector<std::vector<std::string>> parseCsv(std::string_view text)
{
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    bool quoted = false;
    bool any = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        any = true;
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            record.push_back(std::move(field));
            field.clear();
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            record.push_back(std::move(field));
            field.clear();
            records.push_back(std::move(record));
            record.clear();
            any = false;
        } else {
            field += c;
        }
    }
    if (any) {
        record.push_back(std::move(field));
        records.push_back(std::move(record));
    }
    return records;
}

// A database row's page only says what its row says: the title, then "Property: value" lines.
bool rowHasContent(std::string_view markdown)
{
    bool titleSeen = false;
    bool inProperties = false;
    bool propertiesDone = false;
    while (!markdown.empty()) {
        const auto end = markdown.find('\n');
        const std::string line = trimmed(markdown.substr(0, end));
        markdown = end == std::string_view::npos ? std::string_view() : markdown.substr(end + 1);
        if (line.empty() || line == "\r") {
            if (inProperties)
                propertiesDone = true;
            continue;
        }
        if (!titleSeen && line.starts_with("# ")) {
            titleSeen = true;
            continue;
        }
        const auto colon = line.find(": ");
        if (!propertiesDone && colon != std::string::npos && colon > 0 && colon < 100) {
            inProperties = true;
            continue;
        }
        return true;
    }
    return false;
}

struct Source
{
    const ZipEntry *entry = nullptr;
    bool database = false;
    std::string notionId;
    std::string title;
    std::string folder;
    std::string pageId;
    std::size_t parent = 0; // index into sources; 0 is the new root
    bool rowOnly = false;   // a database row without content: it lives in the table alone
    std::vector<std::size_t> children;
};

class Conversion final
{
public:
    Conversion(const ZipReader &archive, std::string_view archiveName)
        : m_archive(archive)
    {
        m_result.name = archiveName;
        std::string_view stem = withoutExtension(nameOf(archiveName));
        m_result.rootTitle = trimmed(stem).empty() ? "Notion" : trimmed(stem);
        m_result.rootId = newId();
    }

    NotionConversion run()
    {
        collect();
        if (m_sources.size() == 1)
            throw Refusal(400, "the archive holds no Notion page: no Markdown or CSV file");
        arrange();
        emit(0, "");
        attachLeftoverFiles();
        summarize();
        return std::move(m_result);
    }

private:
    void collect()
    {
        m_sources.push_back({});
        m_sources[0].pageId = m_result.rootId;
        m_sources[0].title = m_result.rootTitle;
        std::unordered_map<std::string, std::size_t> databases;
        for (const ZipEntry &entry : m_archive.entries()) {
            const std::string extension = lowerExtension(entry.path);
            if (extension == ".md" || extension == ".csv") {
                Source source;
                source.entry = &entry;
                source.database = extension == ".csv";
                source.folder = folderOf(entry.path);
                source.notionId = notionIdOf(nameOf(source.folder));
                source.title = titleOf(nameOf(source.folder));
                if (source.database) {
                    // Notion writes each database twice; "_all" holds every row.
                    const auto twin = databases.find(source.folder);
                    if (twin != databases.end()) {
                        if (withoutExtension(entry.path).ends_with("_all"))
                            m_sources[twin->second].entry = &entry;
                        // Links name either twin.
                        m_byPath.emplace(entry.path, twin->second);
                        continue;
                    }
                    databases.emplace(source.folder, m_sources.size());
                }
                m_byPath.emplace(entry.path, m_sources.size());
                m_sources.push_back(std::move(source));
            } else {
                ImportedFile file;
                file.path = entry.path;
                file.contentType = contentTypeForName(nameOf(entry.path));
                file.bytes = entry.size;
                if (file.contentType.starts_with("image/"))
                    file.image = sniffImage(m_archive.head(entry, sniffBytes)).has_value();
                m_fileByPath.emplace(file.path, m_result.files.size());
                m_result.files.push_back(std::move(file));
            }
        }
        for (std::size_t i = 1; i < m_sources.size(); ++i) {
            m_byFolder.emplace(m_sources[i].folder, i);
            if (!m_sources[i].notionId.empty())
                m_byNotionId.emplace(m_sources[i].notionId, i);
            m_sources[i].pageId = newId();
        }
    }

    // The nearest folder above that belongs to a page.
    std::size_t ownerOf(std::string_view path) const
    {
        std::string_view dir = directoryOf(path);
        while (!dir.empty()) {
            const auto found = m_byFolder.find(std::string(dir));
            if (found != m_byFolder.end())
                return found->second;
            dir = directoryOf(dir);
        }
        return 0;
    }

    void arrange()
    {
        for (std::size_t i = 1; i < m_sources.size(); ++i) {
            Source &source = m_sources[i];
            source.parent = ownerOf(source.entry->path);
            if (!source.database && m_sources[source.parent].database)
                source.rowOnly = !rowHasContent(read(source));
            if (!source.rowOnly)
                m_sources[source.parent].children.push_back(i);
        }
    }

    std::string read(const Source &source)
    {
        if (source.entry->size > maxPageBytes) {
            warn(source, "pageTooLarge",
                 JSON::object({{"bytes", static_cast<double>(source.entry->size)}}));
            return {};
        }
        return m_archive.readAll(*source.entry, maxPageBytes);
    }

    void warn(const Source &source, std::string code, JSON details = JSON::object())
    {
        details.set("code", std::move(code));
        details.set("page", source.title);
        details.set("path", source.entry ? source.entry->path : std::string());
        for (const JSON &earlier : m_result.warnings.arrayValue()) {
            if (earlier == details)
                return;
        }
        m_result.warnings.append(details);
    }

    LinkOutcome rewrite(const Source &source, std::string_view destination)
    {
        LinkOutcome outcome;
        outcome.destination = destination;
        if (destination.empty() || destination.starts_with('#') || hasScheme(destination))
            return outcome;
        std::string decoded = percentDecode(destination, false);
        decoded = decoded.substr(0, decoded.find_first_of("?#"));
        const auto resolved =
            normalized(std::string(directoryOf(source.entry->path)) + "/" + decoded);
        const Source *target = nullptr;
        if (resolved) {
            const auto found = m_byPath.find(*resolved);
            if (found != m_byPath.end())
                target = &m_sources[found->second];
        }
        const std::string extension = lowerExtension(decoded);
        const std::string id = notionIdOf(folderOf(nameOf(decoded)));
        if (!target && !id.empty()) {
            const auto found = m_byNotionId.find(id);
            if (found != m_byNotionId.end())
                target = &m_sources[found->second];
        }
        if (target) {
            // A row without a page of its own is found in its database's table.
            if (target->rowOnly) {
                target = &m_sources[target->parent];
                outcome.destination = percentEncode(target->entry->path, "-._~/");
            }
            outcome.kind = LinkOutcome::Kind::Page;
            outcome.targetPageId = target->pageId;
            ++m_links;
            return outcome;
        }
        if (extension == ".md" || extension == ".csv" || !id.empty()) {
            warn(source, "unresolvedLink", JSON::object({{"target", decoded}}));
            return outcome;
        }
        const auto file = resolved ? m_fileByPath.find(*resolved) : m_fileByPath.end();
        if (file == m_fileByPath.end()) {
            warn(source, "missingFile", JSON::object({{"target", decoded}}));
            return outcome;
        }
        m_linkedFiles.insert(file->second);
        // The page view finds imported files by their path inside the export.
        outcome.kind = LinkOutcome::Kind::File;
        outcome.destination = percentEncode(*resolved, "-._~/");
        outcome.filePath = *resolved;
        return outcome;
    }

    JSON pageLink(const Source &target)
    {
        JSON block = newBlock("pageLink");
        block.set("text", target.title);
        block.set("targetPageId", target.pageId);
        block.set("notionLinkDestination", target.entry->path);
        return block;
    }

    JSON databaseBlocks(const Source &source)
    {
        const auto records = parseCsv(read(source));
        JSON headers = JSON::array();
        if (!records.empty()) {
            for (const auto &cell : records.front())
                headers.append(cell);
        }
        // Relations are written "Title (path.md), …": the titles stay, the paths cannot.
        static const std::regex relation(R"( \([^()]*\.(md|csv)\))");
        std::set<std::size_t> relationColumns;
        JSON rows = JSON::array();
        for (std::size_t r = 1; r < records.size(); ++r) {
            JSON row = JSON::array();
            for (std::size_t c = 0; c < records[r].size(); ++c) {
                const std::string &cell = records[r][c];
                std::string clean = std::regex_replace(cell, relation, "");
                if (clean != cell)
                    relationColumns.insert(c);
                row.append(clean);
            }
            rows.append(row);
        }
        for (const std::size_t column : relationColumns) {
            warn(
                source, "relation",
                JSON::object({{"column", column < headers.size() ? headers.at(column)
                                                                 : JSON(std::to_string(column))}}));
        }
        // The export holds the rows as one view shows them; formulas and rollups as values.
        warn(source, "databaseView");
        JSON table = newBlock("table");
        table.set("text", JSON::object({{"headers", headers}, {"rows", rows}}).encode());
        table.set("headers", headers);
        table.set("rows", rows);
        ++m_tables;
        return JSON::array({table});
    }

    void emit(std::size_t index, const std::string &parentId)
    {
        Source &source = m_sources[index];
        JSON page = JSON::object({
            {"id", source.pageId},
            {"title", source.title},
            {"kind", "document"},
            {"parentId", index == 0 ? JSON() : JSON(parentId)},
            {"icon", pageIcon},
            {"favorite", false},
            {"trashed", false},
            {"cover", ""},
            {"blocks", JSON::array()},
            {"cards", JSON::array()},
        });
        JSON blocks = JSON::array();
        if (index != 0) {
            if (!source.notionId.empty())
                page.set("notionSource", "notion:" + source.notionId);
            blocks = source.database ? databaseBlocks(source) : pageBlocks(source);
        }
        // Children the page does not link to yet stay reachable from it.
        std::set<std::string> linked;
        for (const JSON &block : blocks.arrayValue())
            linked.insert(std::string(block["targetPageId"].stringValue()));
        for (const std::size_t child : source.children) {
            if (!linked.contains(m_sources[child].pageId))
                blocks.append(pageLink(m_sources[child]));
        }
        page.set("title", source.title.empty() ? std::string("Untitled") : source.title);
        page.set("blocks", blocks);
        m_pageIndex.emplace(source.pageId, m_result.pages.size());
        m_result.pages.append(page);
        m_result.items.append(
            JSON::object({{"id", source.pageId},
                          {"title", page["title"]},
                          {"path", source.entry ? source.entry->path : m_result.name}}));
        for (const std::size_t child : source.children)
            emit(child, source.pageId);
    }

    JSON pageBlocks(Source &source)
    {
        MarkdownPage converted = markdownToBlocks(read(source), [&](std::string_view destination) {
            return rewrite(source, destination);
        });
        if (!converted.title.empty())
            source.title = converted.title;
        for (const std::string &start : converted.unsupported)
            warn(source, "unsupportedBlock", JSON::object({{"text", start}}));
        for (const auto &attachment : converted.attachments)
            m_result.files[m_fileByPath.at(attachment.filePath)].uses.push_back(
                {source.pageId, attachment.blockId});
        for (const JSON &block : converted.blocks.arrayValue()) {
            if (block["type"].stringValue() == "table")
                ++m_tables;
        }
        if (converted.listLayout.size() > 0)
            m_result.listLayouts.set(source.pageId, converted.listLayout);
        return converted.blocks;
    }

    // Files no page shows still come over, at the end of the page whose folder holds them.
    void attachLeftoverFiles()
    {
        for (std::size_t i = 0; i < m_result.files.size(); ++i) {
            ImportedFile &file = m_result.files[i];
            if (!file.uses.empty() || m_linkedFiles.contains(i))
                continue;
            const Source &owner = m_sources[ownerOf(file.path)];
            JSON block = newBlock("attachment");
            block.set("text", nameOf(file.path));
            block.set("assetId", "");
            file.uses.push_back({owner.pageId, std::string(block.id())});
            JSON &page = m_result.pages.elements()[m_pageIndex.at(owner.pageId)];
            page.member("blocks").append(std::move(block));
        }
    }

    void summarize()
    {
        std::uint64_t images = 0;
        std::uint64_t audio = 0;
        for (const ImportedFile &file : m_result.files) {
            images += file.image ? 1U : 0U;
            audio += file.contentType.starts_with("audio/") ? 1U : 0U;
        }
        m_result.summary = JSON::object({
            {"pages", static_cast<double>(m_result.pages.size())},
            {"tables", static_cast<double>(m_tables)},
            {"files", static_cast<double>(m_result.files.size())},
            {"audio", static_cast<double>(audio)},
            {"images", static_cast<double>(images)},
            {"links", static_cast<double>(m_links)},
            {"warnings", static_cast<double>(m_result.warnings.size())},
        });
    }

    const ZipReader &m_archive;
    NotionConversion m_result;
    std::vector<Source> m_sources;
    std::unordered_map<std::string, std::size_t> m_byPath;
    std::unordered_map<std::string, std::size_t> m_byFolder;
    std::unordered_map<std::string, std::size_t> m_byNotionId;
    std::unordered_map<std::string, std::size_t> m_fileByPath;
    std::unordered_map<std::string, std::size_t> m_pageIndex;
    std::set<std::size_t> m_linkedFiles;
    std::uint64_t m_tables = 0;
    std::uint64_t m_links = 0;
};

} // namespace

std::string notionIdOf(std::string_view stem)
{
    if (stem.size() < 32)
        return {};
    const std::string_view tail = stem.substr(stem.size() - 32);
    if (!std::all_of(tail.begin(), tail.end(), isHex))
        return {};
    // Notion puts a space before the id; a longer run of digits is not one.
    if (stem.size() > 32 && stem[stem.size() - 33] != ' ')
        return {};
    std::string id(tail);
    std::transform(id.begin(), id.end(), id.begin(), [](char c) {
        return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return id;
}

JSON NotionConversion::preview() const
{
    return JSON::object({{"rootTitle", rootTitle},
                         {"name", name},
                         {"items", items},
                         {"warnings", warnings},
                         {"summary", summary},
                         {"canImport", pages.size() > 1}});
}

NotionConversion convertNotionExport(const ZipReader &archive, std::string_view archiveName)
{
    return Conversion(archive, archiveName).run();
}

JSON importedPages(const NotionConversion &conversion, const ImportStamp &stamp)
{
    std::unordered_map<std::string, std::string> assetOfBlock;
    for (const ImportedFile &file : conversion.files) {
        const auto asset = stamp.assetIds.find(file.path);
        for (const auto &use : file.uses)
            assetOfBlock[use.blockId] = asset == stamp.assetIds.end() ? "" : asset->second;
    }
    JSON pages = conversion.pages;
    for (JSON &page : pages.elements()) {
        if (page.id() == conversion.rootId && !trimmed(stamp.title).empty())
            page.set("title", trimmed(stamp.title));
        page.set("importBatchId", stamp.batchId);
        page.set("createdAt", stamp.now);
        page.set("updatedAt", stamp.now);
        JSON &blocks = page.member("blocks");
        for (JSON &block : blocks.elements()) {
            const auto asset = assetOfBlock.find(std::string(block.id()));
            if (asset != assetOfBlock.end())
                block.set("assetId", asset->second);
        }
    }
    return pages;
}

} // namespace quorvale::server
