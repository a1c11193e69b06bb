// The holdings of a run: sid -> money value held (negative = short), in
// ascending sid.
//
// A run holds tens of stocks and walks all of them on every bar, so they are
// kept as one sorted array: the walk reads consecutive memory, a lookup is a
// binary search, and opening or closing a position moves the entries after
// it.  Iterators stay valid while no entry is added or removed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <map>
#include <utility>
#include <vector>

namespace mirelo::core {

class Holdings {
public:
    using Entry = std::pair<int, double>;
    using iterator = std::vector<Entry>::iterator;
    using const_iterator = std::vector<Entry>::const_iterator;

    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }

    // The first entry whose sid is not below `sid`.
    iterator lower_bound(int sid) {
        return std::lower_bound(entries_.begin(), entries_.end(), sid,
                                [](const Entry& e, int s) { return e.first < s; });
    }
    const_iterator lower_bound(int sid) const {
        return std::lower_bound(entries_.begin(), entries_.end(), sid,
                                [](const Entry& e, int s) { return e.first < s; });
    }
    iterator upper_bound(int sid) {
        auto it = lower_bound(sid);
        return it != entries_.end() && it->first == sid ? it + 1 : it;
    }
    iterator find(int sid) {
        auto it = lower_bound(sid);
        return it != entries_.end() && it->first == sid ? it : entries_.end();
    }
    const_iterator find(int sid) const {
        auto it = lower_bound(sid);
        return it != entries_.end() && it->first == sid ? it : entries_.end();
    }
    bool contains(int sid) const { return find(sid) != end(); }
    // The entry of `sid`, added with `value` when there is none.
    iterator insert_at(iterator hint, int sid, double value) { return entries_.insert(hint, Entry{sid, value}); }
    iterator erase(iterator it) { return entries_.erase(it); }

    // The same holdings as an ordered map (for the excursion module's export
    // table, which takes one).
    std::map<int, double> to_map() const {
        std::map<int, double> m;
        for (const Entry& e : entries_) m.emplace_hint(m.end(), e.first, e.second);
        return m;
    }

private:
    std::vector<Entry> entries_;
};

}  // namespace mirelo::core
