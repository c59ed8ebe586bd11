// Python class reservoir_utils.ElevationStorage.
#include <vector>

#include "frame.hpp"
#include "reservoir_routing/reservoir_utils/elevation_storage.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kCurveBody =
    "Elevation-storage rating curve for a reservoir.\n\n"
    "Stores paired elevation and storage vectors and provides linear interpolation\n"
    "in both directions. Storage units must be consistent with the inflow units\n"
    "used in level pool routing (e.g., ft\u00b3 when inflow is in cfs).\n\n"
    "# Fields\n\n"
    "* `elevation` - Sorted unique elevation values in ascending order.\n"
    "* `storage` - Sorted unique storage values in ascending order, each\n"
    "  corresponding to the paired elevation.";

constexpr Param kNewParams[] = {{.name = "elevation", .type = "Sequence[float]"},
                                {.name = "storage", .type = "Sequence[float]"}};
constexpr Signature kNew{.name = "__new__",
                         .owner = "ElevationStorage",
                         .params = kNewParams,
                         .required = 2,
                         .returns = "ElevationStorage",
                         .doc_body = kCurveBody,
                         .kind = CallableKind::constructor};

constexpr Param kGetElevationParams[] = {{.name = "storage", .type = "float"}};
constexpr Signature kGetElevation{
    .name = "get_elevation",
    .owner = "ElevationStorage",
    .params = kGetElevationParams,
    .required = 1,
    .returns = "float",
    .doc_body =
        "Interpolates the elevation corresponding to a given storage.\n\n"
        "# Arguments\n\n"
        "* `storage` - Storage value to look up.\n\n"
        "# Returns\n\n"
        "The interpolated elevation, or a `PyValueError` if `storage` is outside\n"
        "the range of the stored curve.",
    .kind = CallableKind::method};

constexpr Param kGetStorageParams[] = {{.name = "elevation", .type = "float"}};
constexpr Signature kGetStorage{
    .name = "get_storage",
    .owner = "ElevationStorage",
    .params = kGetStorageParams,
    .required = 1,
    .returns = "float",
    .doc_body =
        "Interpolates the storage corresponding to a given elevation.\n\n"
        "# Arguments\n\n"
        "* `elevation` - Elevation value to look up.\n\n"
        "# Returns\n\n"
        "The interpolated storage, or a `PyValueError` if `elevation` is outside\n"
        "the range of the stored curve.",
    .kind = CallableKind::method};

// The lookups have overloads taking a cursor: bound through these wrappers.
double get_elevation(const ElevationStorage& curve, double storage) {
    return curve.get_elevation(storage);
}
double get_storage(const ElevationStorage& curve, double elevation) {
    return curve.get_storage(elevation);
}

PyGetSetDef curve_getset[] = {
    readonly<&ElevationStorage::elevation>("elevation"),
    readonly<&ElevationStorage::storage>("storage"),
    {},
};

PyMethodDef curve_methods[] = {
    method_def<&get_elevation, kGetElevation>(),
    method_def<&get_storage, kGetStorage>(),
    {},
};

}  // namespace

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(ElevationStorage, class_spec<ElevationStorage>(
                                            "ElevationStorage", docstring(kNew), true,
                                            &constructor_entry<&ElevationStorage::create, kNew>,
                                            curve_getset, curve_methods))
