#include "reservoir_routing/reservoir_utils/constant_discharge.hpp"

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"

namespace rainmill {

static_assert(DischargeSource<ConstantDischargeInfo>);

}  // namespace rainmill
