// rainmill_models._kernels.temperature_index_snow: snow by temperature index.
#include "frame.hpp"
#include "frame_detach.hpp"
#include "kernels/continuous_bindings.hpp"
#include "kernels/continuous_parameters.hpp"
#include "snow/temperature_index.hpp"
#include "utils/values.hpp"

namespace rainmill::py {

namespace {

constexpr std::string_view kCelsius = "degrees Celsius";
constexpr std::string_view kMeltRate =
    "inches per degree Celsius per day, at the winter and summer solstice";
constexpr std::array<Named, 9> kParameters = {{{"threshold", kCelsius},
                                               {"transition", kCelsius},
                                               {"base", kCelsius},
                                               {"melt_rate_min", kMeltRate},
                                               {"melt_rate_max", kMeltRate},
                                               {"refreeze_fraction"},
                                               {"liquid_fraction"},
                                               {"lapse_rate", "degrees Celsius per 1000 m"},
                                               {"reference_elevation", "m"}}};

constexpr std::array<Named, 5> kFluxes = {
    {{"liquid"}, {"snowfall"}, {"melt"}, {"refreeze"}, {"melt_factor"}}};
constexpr std::array<Named, 2> kStorages = {{{"ice"}, {"liquid_water"}}};

constexpr const char* kBody =
    "Snow by temperature index over elevation zones.\n\n"
    "`precipitation` (inches per interval of `step_hours` hours) and `temperature`\n"
    "(degrees Celsius, interval means); `start_day` is the first point's time in\n"
    "days since 2000-01-01 00:00. `parameters` holds {parameters}. Zones: their\n"
    "elevations (m) and area fractions; initial ice and liquid water per zone (inches).\n\n"
    "Returns one block: N = len(precipitation) values each of {fluxes} (area-weighted\n"
    "per interval), N + 1 each of {storages} at the points, then, with several zones\n"
    "and `zone_storages`, each\n"
    "zone's ice and liquid water at the points (N + 1 each, zone by zone).";

constexpr Param kParams[] = {{.name = "precipitation", .type = "Sequence[float]"},
                             {.name = "temperature", .type = "Sequence[float]"},
                             {.name = "step_hours", .type = "float"},
                             {.name = "start_day", .type = "float"},
                             {.name = "parameters", .type = "dict[str, float]"},
                             {.name = "zone_elevations", .type = "Sequence[float]"},
                             {.name = "zone_fractions", .type = "Sequence[float]"},
                             {.name = "initial_ice", .type = "Sequence[float]"},
                             {.name = "initial_liquid", .type = "Sequence[float]"},
                             {.name = "zone_storages", .type = "bool", .shown_default = "False"}};
constexpr Signature kSignature{.name = "temperature_index_snow",
                               .params = kParams,
                               .required = 9,
                               .returns = "Values",
                               .doc_body = kBody};

Values temperature_index_snow(std::vector<double> precipitation, std::vector<double> temperature,
                              double step_hours, double start_day, NamedList<double> parameters,
                              std::vector<double> zone_elevations,
                              std::vector<double> zone_fractions, std::vector<double> initial_ice,
                              std::vector<double> initial_liquid,
                              WithDefault<bool, false> zone_storages) {
    const auto v = named_values(parameters, "parameters", kParameters);
    const SnowParameters p{v[0],
                           v[1],
                           v[2],
                           v[3],
                           v[4],
                           v[5],
                           v[6],
                           v[7],
                           v[8],
                           std::move(zone_elevations),
                           std::move(zone_fractions)};
    const double work = (30.0 + 25.0 * static_cast<double>(p.zone_elevations.size())) *
                        static_cast<double>(precipitation.size());
    SnowResult r = run_computation(work, [&] {
        return run_temperature_index_snow(precipitation, temperature, step_hours, start_day, p,
                                          initial_ice, initial_liquid, zone_storages.value);
    });
    return Values{std::move(r.block)};
}

PyMethodDef snow_def = function_def<&temperature_index_snow, kSignature>();

}  // namespace

void add_temperature_index_snow(PyObject* module) {
    add_continuous_kernel(module, &snow_def,
                          {"temperature_index_snow", kParameters, kFluxes, kStorages});
}

}  // namespace rainmill::py
