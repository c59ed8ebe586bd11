// A computed run of doubles handed back to the models package as one object
// that exports its memory (NumPy reads it without a copy).
#pragma once

#include <vector>

namespace rainmill {

struct Values {
    std::vector<double> data;
};

}  // namespace rainmill
