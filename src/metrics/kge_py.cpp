// Python side of the metrics submodule: calculate_kge.
#include <vector>

#include "frame.hpp"
#include "metrics/kge.hpp"
#include "module_builders.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kKgeBody =
    "Calculates the Kling-Gupta Efficiency (KGE) between simulated and observed series.\n"
    "\n"
    "KGE decomposes model performance into three components measured against\n"
    "a perfect score of 1:\n"
    "\n"
    "- **r** (Pearson correlation) \u2014 timing and shape agreement.\n"
    "- **\u03b2 = mean_sim / mean_obs** \u2014 bias ratio.\n"
    "- **\u03b3 = std_sim / std_obs** \u2014 variability ratio.\n"
    "\n"
    "The efficiency is computed as:\n"
    "```text\n"
    "KGE = 1 - sqrt((r-1)\u00b2 + (\u03b2-1)\u00b2 + (\u03b3-1)\u00b2)\n"
    "```\n"
    "\n"
    "A KGE of 1 indicates a perfect match. Values above 0 are generally\n"
    "considered acceptable. Setting `use_log = true` applies a log transform\n"
    "before computing statistics, which emphasises low-flow performance.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `sim` - Simulated time series.\n"
    "* `obs` - Observed time series. Must have the same length as `sim`.\n"
    "* `use_log` - If `true`, transforms both series with `ln(x + \u03b5)` before\n"
    "  computing statistics.\n"
    "\n"
    "# Errors\n"
    "\n"
    "Returns a `PyValueError` if `obs` is empty or if `sim` and `obs` have\n"
    "different lengths.";

constexpr Param kKgeParams[] = {{.name = "sim", .type = "Sequence[float]"},
                                {.name = "obs", .type = "Sequence[float]"},
                                {.name = "use_log", .type = "bool", .shown_default = "False"}};
constexpr Signature kKge{.name = "calculate_kge",
                         .params = kKgeParams,
                         .required = 2,
                         .returns = "float",
                         .doc_body = kKgeBody,
                         .kind = CallableKind::function};

double kge(std::vector<double> sim, std::vector<double> obs, WithDefault<bool, false> use_log) {
    return calculate_kge(sim, obs, use_log.value);
}

PyMethodDef kge_def = function_def<&kge, kKge>();

}  // namespace

void init_metrics(PyObject* module) { add_function(module, &kge_def); }

}  // namespace rainmill::py
