#pragma once

// Brings an ordered list of rows shown on screen (list and tree rows, a page's block rows, a
// board's cards) to the rows wanted, by id and with the fewest changes: a row that stays is
// updated where it is, so a field being typed in is never rebuilt under the cursor.

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quorvale {

namespace reconcileDetail {

// When target shows the wanted ids already, in order, updates every row where it is.
template <typename Target, typename R>
bool updateInPlace(Target &target, const std::vector<R> &rows)
{
    const auto size = static_cast<int>(rows.size());
    if (target.count() != size)
        return false;
    for (int at = 0; at < size; ++at) {
        if (target.key(at) != rows[static_cast<std::size_t>(at)].id)
            return false;
    }
    for (int at = 0; at < size; ++at)
        target.update(at, rows[static_cast<std::size_t>(at)]);
    return true;
}

} // namespace reconcileDetail

// Keys are the rows' `id`; repeated ids (twins) are matched in order, so the n-th shown row of an
// id stays the n-th wanted one. Target provides count(), key(i), remove(first, last), insert(at,
// first, n) of rows that are new, move(from, to) with to < from, and update(at, row), which
// decides itself whether anything changed. A Target that also has reset(rows) gets it instead of
// many moves when the order was shuffled; one without is only ever moved.
template <typename Target, typename R>
void reconcileRows(Target &target, const std::vector<R> &rows)
{
    using Key = std::remove_cvref_t<decltype(std::declval<const R &>().id)>;

    // The same ids in the same order (a keystroke): each row takes its value, nothing is hashed.
    if (reconcileDetail::updateInPlace(target, rows))
        return;

    struct Count
    {
        int wanted = 0;
        int kept = 0;
    };
    // Keyed by the wanted rows' own ids, which outlive the target's removals.
    std::unordered_map<Key, Count> counts;
    counts.reserve(rows.size());
    for (const R &row : rows)
        ++counts[row.id].wanted;
    const auto kept = [&counts](const Key &id) {
        const auto found = counts.find(id);
        return found == counts.end() ? 0 : found->second.kept;
    };

    // Rows that are no longer wanted go first, from the back so that indexes stay valid.
    std::vector<int> unwanted;
    for (int i = 0, n = target.count(); i < n; ++i) {
        const auto found = counts.find(target.key(i));
        if (found == counts.end() || ++found->second.kept > found->second.wanted)
            unwanted.push_back(i);
    }
    for (auto it = unwanted.rbegin(); it != unwanted.rend();) {
        const int last = *it;
        int first = last;
        while (++it != unwanted.rend() && *it == first - 1)
            first = *it;
        target.remove(first, last);
    }
    for (auto &[id, count] : counts)
        count.kept = std::min(count.kept, count.wanted);

    // Every remaining row is wanted: walk the wanted order, moving rows up or inserting new ones.
    [[maybe_unused]] auto budget = static_cast<std::ptrdiff_t>(rows.size()) * 4 + 64;
    for (std::size_t j = 0; j < rows.size();) {
        const int at = static_cast<int>(j);
        const R &row = rows[j];
        if (at < target.count() && target.key(at) == row.id) {
            --counts[row.id].kept;
            target.update(at, row);
            ++j;
        } else if (kept(row.id) > 0) {
            int from = at + 1;
            while (target.key(from) != row.id)
                ++from;
            if constexpr (requires { target.reset(rows); }) {
                budget -= from - at;
                if (budget < 0) {
                    target.reset(rows);
                    return;
                }
            }
            --counts[row.id].kept;
            target.move(from, at);
            target.update(at, row);
            ++j;
        } else {
            std::size_t n = 1;
            while (j + n < rows.size() && kept(rows[j + n].id) == 0)
                ++n;
            target.insert(at, &rows[j], static_cast<int>(n));
            j += n;
        }
    }
}

} // namespace quorvale
