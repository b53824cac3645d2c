#pragma once

// The line kernel once per instruction set. Each is compiled from
// line_kernel_body.h in a file of its own with that set's compiler options; only
// the dispatcher (line_kernel.cpp) calls them, after asking the processor.

#include <cstdint>

#include "keying/line_kernel.h"

namespace keying {

namespace line_sse2 {
void KeyLine(const LineJob& job, const float* source, float* output, std::int32_t width) noexcept;
void CosBlock(const double* in, double* out, int count) noexcept;
void PowBlock(const double* base, double exponent, double* out, int count) noexcept;
void PowFloatBlock(const double* base, double exponent, float* out, int count) noexcept;
}
#if VESKAR_LINE_AVX
namespace line_avx2 {
void KeyLine(const LineJob& job, const float* source, float* output, std::int32_t width) noexcept;
void CosBlock(const double* in, double* out, int count) noexcept;
void PowBlock(const double* base, double exponent, double* out, int count) noexcept;
void PowFloatBlock(const double* base, double exponent, float* out, int count) noexcept;
}
namespace line_avx512 {
void KeyLine(const LineJob& job, const float* source, float* output, std::int32_t width) noexcept;
void CosBlock(const double* in, double* out, int count) noexcept;
void PowBlock(const double* base, double exponent, double* out, int count) noexcept;
void PowFloatBlock(const double* base, double exponent, float* out, int count) noexcept;
}
#endif

}  // namespace keying
