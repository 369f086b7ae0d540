#include <cstdint>

#define RUNS_NAMESPACE runs_baseline
#include "runs_impl.inc"
