// Compiled with the baseline flags alone: the table every processor of the target runs.
#include <cstdint>

#include "runs.hpp"

#define RUNS_NAMESPACE runs_baseline
#define RUNS_VECTOR_BYTES 16
#include "runs_kernels.inc"
