#pragma once

// The workspace document's edits and queries as pure functions on JSON; WorkspaceModel adds
// ids, the clock, the dirty flag and the draft around them.

#include "json/json.h"

#include <functional>
#include <string>
#include <string_view>

namespace quorvale::document {

// Edits an existing page in place; the single way pages change.
using PageChange = std::function<void(JSON &page)>;

// Block types in the order the type menus offer them.
inline constexpr std::string_view editableBlockTypes[] = {
    "text", "h1", "h2", "h3", "bullet", "number", "todo", "quote", "callout", "code", "divider"};

// Board columns in order, and card priorities; stored in Spanish whatever the interface says.
inline constexpr std::string_view cardStatuses[] = {"Sin empezar", "En curso", "Listo"};
inline constexpr std::string_view cardPriorities[] = {"Baja", "Media", "Alta"};

struct NewPage
{
    std::string id;
    std::string kind; // "document" or "board"
    bool meeting = false;
    JSON parentId;     // a page id, or null for a top-level page
    std::string title; // already localized
    std::string firstBlockId;
    std::string now; // creation time, also the first "updatedAt"
};

JSON block(std::string_view id, std::string_view type);
JSON page(const NewPage &fields);
// Appends a page to "pages" (a missing list counts as empty; null becomes {"pages": [...]}).
void appendPage(JSON &workspace, JSON page);

// Applies change to the first page with that id and stamps its "updatedAt" with now.
// Returns false, leaving the workspace untouched, when no page has the id.
bool updatePage(JSON &workspace, std::string_view id, const PageChange &change,
                std::string_view now);

// Page changes, each applied through updatePage.
PageChange setBlockMember(std::string blockId, std::string key, JSON value);
PageChange appendBlock(JSON block);
PageChange toggleFavorite();
PageChange rename(std::string title);
PageChange addCard(std::string id, std::string title, std::string status);
PageChange setCardMember(std::string cardId, std::string key, JSON value);

// Queries.
const JSON &findPage(const JSON &workspace, std::string_view id);
JSON::Array visiblePages(const JSON &workspace);

struct MeetingFilter
{
    std::string query; // title text, case- and accent-insensitive
    std::string from;  // YYYY-MM-DD, inclusive
    std::string to;    // YYYY-MM-DD, inclusive
};
JSON::Array filterMeetings(const JSON::Array &meetings, const MeetingFilter &filter);

// Text folded for searching: compatibility-decomposed, case-folded, marks stripped.
std::string searchKey(std::string_view text);

} // namespace quorvale::document
