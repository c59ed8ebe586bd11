// What an event loss method makes of the rain: the excess that runs off and
// the depth that infiltrates (inches per interval, as many as the rain), and
// how the impervious share joins them.
#pragma once

#include <cstddef>
#include <vector>

namespace rainmill {

struct LossSplit {
    std::vector<double> excess;
    std::vector<double> infiltration;
};

// The impervious share passes its rain straight to the excess; the pervious
// share's excess is scaled by the pervious fraction. Per interval, in this
// order: excess = (1 - impervious) * pervious_excess + impervious * rain,
// capped at the rain (the two products may round above it), then
// infiltration = rain - excess, so rain = excess + infiltration to the
// rounding of one subtraction and neither is ever negative. The loss loops
// call it as they go, so each output is written once.
struct SplitWriter {
    double pervious;
    double impervious;
    double* excess;
    double* infiltration;

    SplitWriter(LossSplit& split, double impervious_fraction)
        : pervious(1.0 - impervious_fraction),
          impervious(impervious_fraction),
          excess(split.excess.data()),
          infiltration(split.infiltration.data()) {}

    void operator()(std::size_t i, double rain, double pervious_excess) const {
        const double mixed = pervious * pervious_excess + impervious * rain;
        const double x = mixed < rain ? mixed : rain;
        excess[i] = x;
        infiltration[i] = rain - x;
    }
};

}  // namespace rainmill
