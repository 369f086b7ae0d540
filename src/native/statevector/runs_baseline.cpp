#include <cstdint>

#include "runs.hpp"

#define RUNS_NAMESPACE runs_baseline
#define RUNS_VECTOR_BYTES 16
#include "runs_impl.inc"
