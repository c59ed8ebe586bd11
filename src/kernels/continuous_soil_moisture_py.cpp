// rainmill_models._kernels.soil_moisture: the five-storage soil-moisture accounting.
#include "frame.hpp"
#include "frame_detach.hpp"
#include "kernels/continuous_bindings.hpp"
#include "kernels/continuous_parameters.hpp"
#include "soil_moisture/soil_moisture_accounting.hpp"
#include "utils/values.hpp"

namespace rainmill::py {

namespace {

constexpr std::string_view kInches = "inches";
constexpr std::string_view kPerHour = "inches per hour";
constexpr std::array<Named, 12> kParameters = {{{"canopy_max", kInches},
                                                {"surface_max", kInches},
                                                {"soil_max", kInches},
                                                {"tension_max", kInches},
                                                {"max_infiltration", kPerHour},
                                                {"soil_percolation", kPerHour},
                                                {"gw1_max", kInches},
                                                {"gw1_percolation", kPerHour},
                                                {"gw1_coefficient", "hours"},
                                                {"gw2_max", kInches},
                                                {"gw2_percolation", kPerHour},
                                                {"gw2_coefficient", "hours"}}};
constexpr std::array<Named, 5> kStorages = {
    {{"canopy"}, {"surface"}, {"soil"}, {"gw1"}, {"gw2", kInches}}};

constexpr std::array<Named, 10> kFluxes = {{{"excess"},
                                            {"gw1_outflow"},
                                            {"gw2_outflow"},
                                            {"canopy_et"},
                                            {"surface_et"},
                                            {"soil_et"},
                                            {"infiltration"},
                                            {"percolation"},
                                            {"gw_percolation"},
                                            {"deep_percolation"}}};

constexpr const char* kBody =
    "Soil-moisture accounting over five storages: canopy, surface depressions, the soil\n"
    "profile (with an upper tension zone), groundwater 1 and groundwater 2.\n\n"
    "`water` (rain and melt) and `pet` are inches per interval of `step_hours` hours.\n"
    "`parameters` holds {parameters}; `initial` the storages {storages}.\n\n"
    "Returns one block of N = len(water) values for each flux ({fluxes}) then N + 1\n"
    "for each storage at the points, in this order.";

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
    const auto v = named_values(parameters, "parameters", kParameters);
    const auto s = named_values(initial, "initial", kStorages);
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
    add_continuous_kernel(module, &soil_moisture_def,
                          {"soil_moisture", kParameters, kFluxes, kStorages});
}

}  // namespace rainmill::py
