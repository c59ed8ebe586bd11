// What an event loss method makes of the rain: the excess that runs off and
// the depth that infiltrates (inches per interval, as many as the rain), and
// how the impervious share joins them.
#pragma once

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
// rounding of one subtraction and neither is ever negative.
inline void add_impervious_share(const std::vector<double>& rain, double impervious,
                                 LossSplit& split) {
    const double pervious = 1.0 - impervious;
    const std::size_t n = rain.size();
    double* const excess = split.excess.data();
    double* const infiltration = split.infiltration.data();
    for (std::size_t i = 0; i < n; ++i) {
        const double mixed = pervious * excess[i] + impervious * rain[i];
        excess[i] = mixed < rain[i] ? mixed : rain[i];
        infiltration[i] = rain[i] - excess[i];
    }
}

}  // namespace rainmill
