// Compiled with AVX-512 enabled where the build supports it (see CMakeLists.txt).
#include <cstdint>

#include "runs.hpp"

#if defined(STATEVECTOR_AVX512)
#define RUNS_NAMESPACE runs_avx512
#define RUNS_VECTOR_BYTES 64
#include "runs_kernels.inc"
#endif
