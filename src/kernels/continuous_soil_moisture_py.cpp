// rainmill_models._kernels.soil_moisture: the five-storage soil-moisture accounting.
#include "frame.hpp"
#include "frame_detach.hpp"
#include "kernels/continuous_bindings.hpp"
#include "kernels/continuous_parameters.hpp"
#include "soil_moisture/soil_moisture_accounting.hpp"
#include "utils/values.hpp"

namespace rainmill::py {

namespace {

constexpr std::array<std::string_view, 12> kParameterNames = {
    "canopy_max",       "surface_max",      "soil_max",        "tension_max",
    "max_infiltration", "soil_percolation", "gw1_max",         "gw1_percolation",
    "gw1_coefficient",  "gw2_max",          "gw2_percolation", "gw2_coefficient"};
constexpr std::array<std::string_view, 5> kStateNames = {"canopy", "surface", "soil", "gw1", "gw2"};

constexpr std::array<std::string_view, 10> kFluxNames = {
    "excess",  "gw1_outflow",  "gw2_outflow", "canopy_et",      "surface_et",
    "soil_et", "infiltration", "percolation", "gw_percolation", "deep_percolation"};

constexpr const char* kBody =
    "Soil-moisture accounting over five storages: canopy, surface depressions, the soil\n"
    "profile (with an upper tension zone), groundwater 1 and groundwater 2.\n\n"
    "`water` (rain and melt) and `pet` are inches per interval of `step_hours` hours.\n"
    "`parameters` holds canopy_max, surface_max, soil_max, tension_max, gw1_max and\n"
    "gw2_max (inches), max_infiltration, soil_percolation, gw1_percolation and\n"
    "gw2_percolation (inches per hour), gw1_coefficient and gw2_coefficient (hours);\n"
    "`initial` the storages canopy, surface, soil, gw1 and gw2 (inches).\n\n"
    "Returns one block of N = len(water) values for each flux (excess, gw1_outflow,\n"
    "gw2_outflow, canopy_et, surface_et, soil_et, infiltration, percolation,\n"
    "gw_percolation, deep_percolation) then N + 1 for each storage at the points\n"
    "(canopy, surface, soil, gw1, gw2), in this order.";

constexpr Param kParams[] = {{.name = "water", .type = "Sequence[float]"},
                             {.name = "pet", .type = "Sequence[float]"},
                             {.name = "step_hours", .type = "float"},
                             {.name = "parameters", .type = "dict[str, float]"},
                             {.name = "initial", .type = "dict[str, float]"}};
constexpr Signature kSignature{.name = "soil_moisture",
                               .params = kParams,
                               .required = 5,
                               .returns = "Values",
                               .doc_body = kBody};

Values soil_moisture(std::vector<double> water, std::vector<double> pet, double step_hours,
                     NamedList<double> parameters, NamedList<double> initial) {
    const auto v = named_values(parameters, "parameters", kParameterNames);
    const auto s = named_values(initial, "initial", kStateNames);
    const SoilMoistureParameters p{v[0], v[1], v[2], v[3], v[4],  v[5],
                                   v[6], v[7], v[8], v[9], v[10], v[11]};
    const SoilMoistureStates states{s[0], s[1], s[2], s[3], s[4]};
    SoilMoistureResult r = run_computation(40.0 * static_cast<double>(water.size()), [&] {
        return run_soil_moisture(water, pet, step_hours, p, states);
    });
    return Values{std::move(r.block)};
}

PyMethodDef soil_moisture_def = function_def<&soil_moisture, kSignature>();

}  // namespace

void add_soil_moisture(PyObject* module) {
    add_function(module, &soil_moisture_def);
    publish_names(module, "soil_moisture", "parameters", kParameterNames);
    publish_names(module, "soil_moisture", "fluxes", kFluxNames);
    publish_names(module, "soil_moisture", "storages", kStateNames);
}

}  // namespace rainmill::py
