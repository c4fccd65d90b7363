// The statistics the benchmark reports: medians and per-pair ratios of interleaved runs.
#pragma once

#include <vector>

namespace kestrova::bench {

// The median; the mean of the two middle values for an even count. Requires a non-empty input.
double median(std::vector<double> values);

// a[i] / b[i] for each pair i of runs made one after the other. Requires equal sizes.
std::vector<double> pair_ratios(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace kestrova::bench
