// Runs the same commands with this build and with another on the same files
// and reports every difference in what they print, their exit statuses and
// the files they leave.
#ifndef KTRP_BENCH_COMPARE_H_
#define KTRP_BENCH_COMPARE_H_

#include <functional>
#include <string>
#include <vector>

#include "instance.h"

// Corner-case instances, then the benchmark's instance of each size with the
// argument lists benchCases gives for it. 0 when nothing differs, else 1.
int compareBuilds(const std::string& scratch, const std::string& other, const std::vector<size_t>& sizes,
                  const std::function<std::vector<std::vector<std::string>>(const Instance&)>& benchCases);

#endif  // KTRP_BENCH_COMPARE_H_
