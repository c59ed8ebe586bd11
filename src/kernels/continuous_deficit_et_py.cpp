// rainmill_models._kernels.deficit_constant_et: deficit and constant loss
// with evapotranspiration.
#include "frame.hpp"
#include "frame_detach.hpp"
#include "kernels/continuous_bindings.hpp"
#include "kernels/continuous_parameters.hpp"
#include "rainfall_loss/deficit_constant_et.hpp"
#include "utils/values.hpp"

namespace rainmill::py {

namespace {

constexpr std::array<Named, 3> kParameters = {
    {{"max_deficit", "inches"}, {"constant_rate", "inches per hour"}, {"et_coefficient"}}};

constexpr std::array<Named, 3> kFluxes = {{{"excess"}, {"percolation"}, {"et"}}};
constexpr std::array<Named, 1> kStorages = {{{"deficit", "inches"}}};

constexpr const char* kBody =
    "Deficit and constant loss whose deficit recovers by potential ET times its\n"
    "coefficient in the intervals without water, up to its maximum.\n\n"
    "`water` and `pet` are inches per interval of `step_hours` hours; `parameters`\n"
    "holds {parameters}.\n\n"
    "Returns one block: N = len(water) values each of {fluxes}, then the N + 1 values\n"
    "of the {storages} at the points.";

constexpr Param kParams[] = {{.name = "water", .type = "Sequence[float]"},
                             {.name = "pet", .type = "Sequence[float]"},
                             {.name = "step_hours", .type = "float"},
                             {.name = "parameters", .type = "dict[str, float]"},
                             {.name = "initial_deficit", .type = "float"}};
constexpr Signature kSignature{.name = "deficit_constant_et",
                               .params = kParams,
                               .required = 5,
                               .returns = "Values",
                               .doc_body = kBody};

Values deficit_constant_et(std::vector<double> water, std::vector<double> pet, double step_hours,
                           NamedList<double> parameters, double initial_deficit) {
    const auto v = named_values(parameters, "parameters", kParameters);
    const DeficitConstantEtParameters p{v[0], v[1], v[2]};
    DeficitConstantEtResult r = run_computation(12.0 * static_cast<double>(water.size()), [&] {
        return run_deficit_constant_et(water, pet, step_hours, p, initial_deficit);
    });
    return Values{std::move(r.block)};
}

PyMethodDef deficit_def = function_def<&deficit_constant_et, kSignature>();

}  // namespace

void add_deficit_constant_et(PyObject* module) {
    add_continuous_kernel(module, &deficit_def,
                          {"deficit_constant_et", kParameters, kFluxes, kStorages});
}

}  // namespace rainmill::py
