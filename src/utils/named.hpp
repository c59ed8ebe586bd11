// Name-keyed collections that keep the caller's order, so that sums over
// named parts (outlets, groundwater layers) give the same last bits on every run.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "utils/errors.hpp"

namespace rainmill {

template <class T>
using NamedList = std::vector<std::pair<std::string, T>>;

// Throws InvalidInput naming the first entry whose name an earlier entry
// already has. Two parts under one name would both count in the totals while
// a name-keyed result could show only one of them.
template <class T>
void refuse_duplicate_names(const NamedList<T>& entries, std::string_view what) {
    std::unordered_set<std::string_view> seen;
    seen.reserve(entries.size());
    for (const auto& entry : entries) {
        if (!seen.insert(entry.first).second) {
            std::string message = "duplicate ";
            message += what;
            message += " name '";
            message += entry.first;
            message += "'.";
            throw InvalidInput(message);
        }
    }
}

}  // namespace rainmill
