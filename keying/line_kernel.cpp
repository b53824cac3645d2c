#include "keying/line_kernel.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "keying/line_kernel_targets.h"

namespace keying {

namespace {

LineKernel BuiltKernel(LineTarget target) noexcept {
    switch (target) {
        case LineTarget::kSse2:
            return &line_sse2::KeyLine;
#if VESKAR_LINE_AVX
        case LineTarget::kAvx2:
            return &line_avx2::KeyLine;
        case LineTarget::kAvx512:
            return &line_avx512::KeyLine;
#endif
        default:
            return nullptr;
    }
}

bool ProcessorRuns(LineTarget target) noexcept {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    switch (target) {
        case LineTarget::kSse2:
            return true;
#if defined(__clang__) && __clang_major__ < 16
        // Older clang knows the features, not the level names.
        case LineTarget::kAvx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                   __builtin_cpu_supports("bmi2");
        case LineTarget::kAvx512:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                   __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("avx512f") &&
                   __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512cd") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#else
        case LineTarget::kAvx2:
            return __builtin_cpu_supports("x86-64-v3");
        case LineTarget::kAvx512:
            return __builtin_cpu_supports("x86-64-v4");
#endif
    }
    return false;
#else
    return target == LineTarget::kSse2;
#endif
}

LineTarget StartingTarget() noexcept {
    if (const char* wanted = std::getenv("VESKAR_SIMD")) {
        for (int t = 0; t < kLineTargetCount; ++t) {
            const auto target = static_cast<LineTarget>(t);
            if (std::strcmp(wanted, LineTargetName(target)) == 0 && LineTargetAvailable(target)) {
                return target;
            }
        }
    }
    for (int t = kLineTargetCount - 1; t > 0; --t) {
        if (LineTargetAvailable(static_cast<LineTarget>(t))) return static_cast<LineTarget>(t);
    }
    return LineTarget::kSse2;
}

std::atomic<LineTarget>& ChosenTarget() noexcept {
    static std::atomic<LineTarget> chosen{StartingTarget()};
    return chosen;
}

}  // namespace

const char* LineTargetName(LineTarget target) noexcept {
    switch (target) {
        case LineTarget::kSse2:
            return "sse2";
        case LineTarget::kAvx2:
            return "avx2";
        case LineTarget::kAvx512:
            return "avx512";
    }
    return "unknown";
}

bool LineTargetAvailable(LineTarget target) noexcept {
    return BuiltKernel(target) != nullptr && ProcessorRuns(target);
}

LineKernel LineKernelFor(LineTarget target) noexcept {
    return LineTargetAvailable(target) ? BuiltKernel(target) : nullptr;
}

LineTarget ActiveLineTarget() noexcept { return ChosenTarget().load(std::memory_order_relaxed); }

bool UseLineTarget(LineTarget target) noexcept {
    if (!LineTargetAvailable(target)) return false;
    ChosenTarget().store(target, std::memory_order_relaxed);
    return true;
}

LineKernel ActiveLineKernel() noexcept { return BuiltKernel(ActiveLineTarget()); }

LineMath LineMathFor(LineTarget target) noexcept {
    LineMath math;
    if (!LineTargetAvailable(target)) return math;
    switch (target) {
        case LineTarget::kSse2:
            math.cos = &line_sse2::CosBlock;
            math.pow = &line_sse2::PowBlock;
            math.powFloat = &line_sse2::PowFloatBlock;
            break;
#if VESKAR_LINE_AVX
        case LineTarget::kAvx2:
            math.cos = &line_avx2::CosBlock;
            math.pow = &line_avx2::PowBlock;
            math.powFloat = &line_avx2::PowFloatBlock;
            break;
        case LineTarget::kAvx512:
            math.cos = &line_avx512::CosBlock;
            math.pow = &line_avx512::PowBlock;
            math.powFloat = &line_avx512::PowFloatBlock;
            break;
#endif
        default:
            break;
    }
    return math;
}

}  // namespace keying
