// Python function reservoir.run_level_pool_routing, class reservoir.LevelPoolResult,
// and the builder of the `reservoir` submodule with its `reservoir_utils` child.
#include <array>
#include <utility>

#include "frame.hpp"
#include "frame_detach.hpp"
#include "module_builders.hpp"
#include "reservoir_routing/level_pool.hpp"

namespace rainmill::py {

// The names an outlet argument's failure text shows, in matching order.
template <>
struct EnumNames<DischargeInfo> {
    static constexpr const char* name = "DischargeInfo";
    static constexpr std::array<const char*, 4> alternatives = {"Uncontrolled", "Controlled",
                                                                "Specified", "Constant"};
};

namespace {

constexpr const char* kRoutingBody =
    "Performs level pool (modified Puls) routing for a reservoir.\n\n"
    "Integrates the mass balance equation `dS/dt = I - O` over the inflow\n"
    "hydrograph duration. Output vectors are recorded at the original inflow time\n"
    "step.\n\n"
    "# Errors\n\n"
    "Returns a `PyValueError` if any outlet's discharge calculation fails or if\n"
    "the initial elevation is outside the elevation-storage curve range.";

constexpr Param kRoutingParams[] = {{.name = "inflow", .type = "ContinuousTimeSeries"},
                                    {.name = "initial_elevation", .type = "float"},
                                    {.name = "elevation_storage", .type = "ElevationStorage"},
                                    {.name = "discharge_info", .type = "dict[str, DischargeInfo]"}};
constexpr Signature kRoutingSignature{.name = "run_level_pool_routing",
                                      .params = kRoutingParams,
                                      .required = 4,
                                      .returns = "LevelPoolResult",
                                      .doc_body = kRoutingBody,
                                      .kind = CallableKind::function};

LevelPoolResult route_reservoir(ContinuousTimeSeries inflow, double initial_elevation,
                                ElevationStorage elevation_storage,
                                NamedList<DischargeInfo> discharge_info) {
    // Per internal second: the storage update and a lookup per outlet.
    const double seconds = static_cast<double>(inflow.time_step) *
                           static_cast<double>(inflow.data.empty() ? 0 : inflow.data.size() - 1);
    const double work = seconds * (4.0 + 4.0 * static_cast<double>(discharge_info.size()));
    return run_computation(work, [&] {
        return run_level_pool_routing(inflow, initial_elevation, elevation_storage, discharge_info);
    });
}

PyGetSetDef result_getset[] = {
    readonly<&LevelPoolResult::reservoir_storage>(
        "reservoir_storage", "Reservoir storage volume at each output time step."),
    readonly<&LevelPoolResult::reservoir_elevation>(
        "reservoir_elevation", "Water surface elevation at each output time step."),
    readonly<&LevelPoolResult::reservoir_total_outflow>(
        "reservoir_total_outflow", "Combined outflow from all outlets at each output time step."),
    readonly<&LevelPoolResult::reservoir_individual_outflows>(
        "reservoir_individual_outflows", "Per-outlet outflow time series keyed by outlet name."),
    {},
};

PyMethodDef routing_def = function_def<&route_reservoir, kRoutingSignature>();

}  // namespace

void init_reservoir(PyObject* module) {
    Ref utils = new_submodule("reservoir_utils");
    add_class<ElevationDischarge>(utils.get());
    add_class<ElevationStorage>(utils.get());
    add_class<ControlledDischargeInfo>(utils.get());
    add_class<UnControlledDischargeInfo>(utils.get());
    add_class<SpecifiedDischargeInfo>(utils.get());
    add_class<ConstantDischargeInfo>(utils.get());
    attach_submodule(module, utils.get());
    add_function(module, &routing_def);
    add_class<LevelPoolResult>(module);
}

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(LevelPoolResult,
                      class_spec<LevelPoolResult>("LevelPoolResult",
                                                  "Results from a level pool routing simulation.",
                                                  true, nullptr, result_getset, nullptr))
