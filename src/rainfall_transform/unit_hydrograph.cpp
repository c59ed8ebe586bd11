#include "rainfall_transform/unit_hydrograph.hpp"

#include <cmath>
#include <new>

#include "utils/errors.hpp"
#include "utils/interrupt.hpp"
#include "utils/memory_limit.hpp"

namespace rainmill {

namespace {

// target[k] += e * unit[k]: independent products and sums, so wider vector
// registers change no bit (nothing is contracted); the AVX2 copy is chosen at
// load time where the processor has it.
__attribute__((target_clones("avx2", "default"))) void add_scaled(double* target,
                                                                  const double* unit,
                                                                  std::size_t count, double e) {
    for (std::size_t k = 0; k < count; ++k) target[k] += e * unit[k];
}

}  // namespace

void ensure_ordinates_fit(double count) {
    // Asking the platform reads files; a few megabytes are never refused.
    if (count <= 1048576.0) return;
    const double limit = static_cast<double>(allocatable_bytes_limit() / sizeof(double));
    if (!(count <= limit)) throw std::bad_alloc();
}

std::vector<double> zero_ordinates(double count, WorkMeter& meter) {
    ensure_ordinates_fit(count);
    const auto size = static_cast<std::size_t>(count);
    std::vector<double> shape;
    shape.reserve(size);
    meter.in_pieces(0, size, 1, [&](std::size_t, std::size_t last) { shape.resize(last); });
    return shape;
}

void scale_to_unit_volume(std::vector<double>& shape, double area_acres, double step_seconds) {
    // In pieces, so a long hydrograph answers an interrupt; the sum stays one left-to-right chain.
    WorkMeter meter;
    double sum = 0.0;
    meter.in_pieces(0, shape.size(), 4, [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) sum += shape[k];
    });
    if (!(sum > 0.0) || !std::isfinite(sum)) {
        throw InvalidInput("the unit hydrograph has no volume at this step");
    }
    const double factor = (area_acres * kCubicFeetPerAcreInch) / (sum * step_seconds);
    meter.in_pieces(0, shape.size(), 1, [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) shape[k] *= factor;
    });
}

std::vector<double> convolve_unit_hydrograph(const std::vector<double>& excess,
                                             const std::vector<double>& ordinates) {
    const std::size_t n = excess.size();
    const std::size_t m = ordinates.size();
    std::vector<double> flow(n, 0.0);
    double* const out = flow.data();
    const double* const unit = ordinates.data();
    const double* const depth = excess.data();
    WorkMeter meter;
    const auto per_interval = static_cast<std::int64_t>(m < n ? m : n) + 4;
    meter.in_pieces(0, n, per_interval, [&](std::size_t first, std::size_t last) {
        for (std::size_t j = first; j < last; ++j) {
            const double e = depth[j];
            // A dry interval adds +0.0 to every point it reaches: skipping it
            // changes no bit, and most intervals of an event are dry.
            if (e == 0.0) continue;
            const std::size_t reach = n - j < m ? n - j : m;
            add_scaled(out + j, unit, reach, e);
        }
    });
    return flow;
}

}  // namespace rainmill
