#include "document.h"

#include "textsearch.h"

#include <algorithm>
#include <cstdlib>

namespace quorvale::document {

namespace {

// The first element of list whose id is id, or -1.
std::ptrdiff_t indexOfId(const JSON::Array &list, std::string_view id)
{
    const auto it =
        std::find_if(list.begin(), list.end(), [&](const JSON &item) { return item.id() == id; });
    return it == list.end() ? -1 : it - list.begin();
}

// Sets member key of the element with that id in page[listKey]; a list without it is left
// exactly as it was (not even turned into an array).
PageChange setListedMember(std::string listKey, std::string itemId, std::string key, JSON value)
{
    return [=](JSON &page) {
        const std::ptrdiff_t i = indexOfId(page[listKey].arrayValue(), itemId);
        if (i < 0)
            return;
        page.member(listKey).elements()[static_cast<std::size_t>(i)].set(key, value);
    };
}

} // namespace

JSON block(std::string_view id, std::string_view type)
{
    return JSON::object({{"id", id}, {"type", type}, {"text", ""}, {"checked", false}});
}

JSON page(const NewPage &fields)
{
    const char *icon = fields.meeting           ? "\U0001F399\uFE0F"
                       : fields.kind == "board" ? "\U0001F4CB"
                                                : "\U0001F4C4";
    JSON p = JSON::object({
        {"id", fields.id},
        {"title", fields.title},
        {"kind", fields.kind},
        {"parentId", fields.parentId},
        {"icon", icon},
        {"favorite", false},
        {"trashed", false},
        {"cover", ""},
        {"blocks", JSON::array({block(fields.firstBlockId, "text")})},
        {"cards", JSON::array()},
        {"createdAt", fields.now},
        {"updatedAt", fields.now},
    });
    if (fields.meeting)
        p.set("meeting", true);
    return p;
}

void appendPage(JSON &workspace, JSON page)
{
    workspace.member("pages").elements().push_back(std::move(page));
}

bool updatePage(JSON &workspace, std::string_view id, const PageChange &change,
                std::string_view now)
{
    const std::ptrdiff_t i = indexOfId(workspace["pages"].arrayValue(), id);
    if (i < 0)
        return false;
    JSON &page = workspace.member("pages").elements()[static_cast<std::size_t>(i)];
    change(page);
    page.set("updatedAt", now);
    return true;
}

PageChange setBlockMember(std::string blockId, std::string key, JSON value)
{
    return setListedMember("blocks", std::move(blockId), std::move(key), std::move(value));
}

PageChange appendBlock(JSON block)
{
    return [block = std::move(block)](JSON &page) {
        page.member("blocks").elements().push_back(block);
    };
}

PageChange toggleFavorite()
{
    return [](JSON &page) { page.set("favorite", !page["favorite"].boolValue()); };
}

PageChange rename(std::string title)
{
    return [title = std::move(title)](JSON &page) { page.set("title", title); };
}

PageChange addCard(std::string id, std::string title, std::string status)
{
    return [card = JSON::object({{"id", id},
                                 {"title", title},
                                 {"status", status},
                                 {"priority", "Media"},
                                 {"tag", ""}})](JSON &page) {
        page.member("cards").elements().push_back(card);
    };
}

PageChange setCardMember(std::string cardId, std::string key, JSON value)
{
    return setListedMember("cards", std::move(cardId), std::move(key), std::move(value));
}

const JSON &findPage(const JSON &workspace, std::string_view id)
{
    static const JSON none;
    const JSON::Array &pages = workspace["pages"].arrayValue();
    const std::ptrdiff_t i = indexOfId(pages, id);
    return i < 0 ? none : pages[static_cast<std::size_t>(i)];
}

JSON::Array visiblePages(const JSON &workspace)
{
    JSON::Array visible;
    for (const JSON &page : workspace["pages"].arrayValue()) {
        if (!page["trashed"].boolValue())
            visible.push_back(page);
    }
    return visible;
}

std::string searchKey(std::string_view text)
{
    std::string key;
    TextSearch::appendKey(key, text);
    return key;
}

JSON::Array filterMeetings(const JSON::Array &meetings, const MeetingFilter &filter)
{
    const std::string needle = filter.query.empty() ? std::string() : searchKey(filter.query);
    JSON::Array kept;
    for (const JSON &meeting : meetings) {
        const std::string_view date = meeting["date"].stringValue();
        if (!filter.query.empty() &&
            searchKey(meeting["title"].stringValue()).find(needle) == std::string::npos)
            continue;
        if (!filter.from.empty() && (date.empty() || date < filter.from))
            continue;
        if (!filter.to.empty() && (date.empty() || filter.to < date))
            continue;
        kept.push_back(meeting);
    }
    // Newest first, undated last; same date: titles Z to A; full ties keep their order.
    std::stable_sort(kept.begin(), kept.end(), [](const JSON &a, const JSON &b) {
        const std::string_view da = a["date"].stringValue();
        const std::string_view db = b["date"].stringValue();
        if (da != db)
            return da > db;
        return a["title"].stringValue() > b["title"].stringValue();
    });
    return kept;
}

} // namespace quorvale::document
