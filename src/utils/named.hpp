// Name-keyed collections that keep the caller's order, so that sums over
// named parts (outlets, groundwater layers) give the same last bits on every run.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace rainmill {

template <class T>
using NamedList = std::vector<std::pair<std::string, T>>;

}  // namespace rainmill
