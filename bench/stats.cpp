#include "bench/stats.h"

#include <algorithm>
#include <stdexcept>

namespace kestrova::bench {

double median(std::vector<double> values) {
    if (values.empty()) throw std::invalid_argument("median of no values");
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1) return upper;
    const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle));
    return (lower + upper) / 2;
}

std::vector<double> pair_ratios(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) throw std::invalid_argument("pair_ratios of unequal series");
    std::vector<double> ratios;
    ratios.reserve(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) ratios.push_back(a[i] / b[i]);
    return ratios;
}

}  // namespace kestrova::bench
