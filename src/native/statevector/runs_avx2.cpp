// Compiled with AVX2 enabled where the build supports it (see CMakeLists.txt).
#include <cstdint>

#include "runs.hpp"

#if defined(STATEVECTOR_AVX2)
#define RUNS_NAMESPACE runs_avx2
#define RUNS_VECTOR_BYTES 32
#include "runs_kernels.inc"
#endif
