// Every class the module exposes, declared once so that any binding unit can
// take its instances as arguments or return them. Each binding unit defines
// its classes' `type()` with RAINMILL_DEFINE_CLASS (frame.hpp).
#pragma once

#include <Python.h>

namespace rainmill {
struct ContinuousTimeSeries;
struct IncrementalTimeSeries;
struct ElevationStorage;
struct ElevationDischarge;
struct ConstantDischargeInfo;
struct SpecifiedDischargeInfo;
struct ControlledDischargeInfo;
struct UnControlledDischargeInfo;
struct LevelPoolResult;
struct DeficitConstantResult;
struct LinearReservoir;
struct Values;
}  // namespace rainmill

namespace rainmill::py {

// Specialised below for every exposed class.
template <class T>
struct ClassBinding {
    static constexpr bool bound = false;
};

#define RAINMILL_DECLARE_CLASS(Core)                                     \
    template <>                                                          \
    struct ClassBinding<::rainmill::Core> {                              \
        static constexpr bool bound = true;                              \
        static constexpr const char* name = #Core;                       \
        /* The one type object of the class, created on first demand. */ \
        static PyTypeObject* type();                                     \
    }

RAINMILL_DECLARE_CLASS(ContinuousTimeSeries);
RAINMILL_DECLARE_CLASS(IncrementalTimeSeries);
RAINMILL_DECLARE_CLASS(ElevationStorage);
RAINMILL_DECLARE_CLASS(ElevationDischarge);
RAINMILL_DECLARE_CLASS(ConstantDischargeInfo);
RAINMILL_DECLARE_CLASS(SpecifiedDischargeInfo);
RAINMILL_DECLARE_CLASS(ControlledDischargeInfo);
RAINMILL_DECLARE_CLASS(UnControlledDischargeInfo);
RAINMILL_DECLARE_CLASS(LevelPoolResult);
RAINMILL_DECLARE_CLASS(DeficitConstantResult);
RAINMILL_DECLARE_CLASS(LinearReservoir);
RAINMILL_DECLARE_CLASS(Values);

#undef RAINMILL_DECLARE_CLASS

}  // namespace rainmill::py
