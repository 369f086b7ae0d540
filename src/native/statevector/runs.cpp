#include "runs.hpp"

namespace statevector {

// Each instruction set's unit (runs_kernels.inc) defines its table.
namespace runs_baseline {
extern const RunKernels kernels;
}
#if defined(STATEVECTOR_AVX2)
namespace runs_avx2 {
extern const RunKernels kernels;
}
#endif
#if defined(STATEVECTOR_AVX512)
namespace runs_avx512 {
extern const RunKernels kernels;
}
#endif

namespace {

RunKernels select() {
#if defined(STATEVECTOR_AVX2) || defined(STATEVECTOR_AVX512)
    __builtin_cpu_init();
#endif
#if defined(STATEVECTOR_AVX512)
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return runs_avx512::kernels;
#endif
#if defined(STATEVECTOR_AVX2)
    if (__builtin_cpu_supports("avx2")) return runs_avx2::kernels;
#endif
    return runs_baseline::kernels;
}

}  // namespace

const RunKernels &run_kernels() {
    static const RunKernels kernels = select();
    return kernels;
}

}  // namespace statevector
