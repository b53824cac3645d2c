// keying::Cos and keying::Pow: the special values as the C library gives them,
// powers and cosines whose correctly rounded result is exact, and the block
// functions giving the scalar functions' bits. Their accuracy is measured
// against MPFR in test_det_math_mpfr.cpp.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "keying/det_math.h"
#include "keying/key_signal.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kTiny = std::numeric_limits<double>::denorm_min();
constexpr double kMinNormal = std::numeric_limits<double>::min();

// The same bits, or both NaN (whose payload and sign no stage passes on).
::testing::AssertionResult SameValue(double expected, double actual) {
    if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
    if (std::bit_cast<std::uint64_t>(expected) == std::bit_cast<std::uint64_t>(actual)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "expected " << expected << " (" << std::hexfloat << expected << "), got " << actual
           << " (" << actual << ")" << std::defaultfloat;
}

const std::vector<double>& Specials() {
    static const std::vector<double> values = {0.0,
                                               -0.0,
                                               kTiny,
                                               -kTiny,
                                               1e-310,
                                               -1e-310,
                                               kMinNormal,
                                               -kMinNormal,
                                               kInf,
                                               -kInf,
                                               kNaN,
                                               -kNaN,
                                               kMax,
                                               -kMax,
                                               1e300,
                                               -1e300,
                                               1.0,
                                               -1.0,
                                               0.5,
                                               -0.5,
                                               2.0,
                                               -2.0,
                                               3.0,
                                               -3.0,
                                               0.25,
                                               1e-20,
                                               0x1p19,
                                               -0x1p19,
                                               0x1p19 - 0x1p-33,
                                               std::nextafter(1.0, 2.0),
                                               std::nextafter(1.0, 0.0),
                                               1e15,
                                               0x1p52 + 1.0,
                                               0x1p53,
                                               0x1p64,
                                               -0x1p64,
                                               0x1p64 * 2.0};
    return values;
}

TEST(DetMath, CosOfSpecialValuesFollowsTheCLibrarysRules) {
    // Zeros and tiny values give exactly 1; infinities and NaN give NaN.
    for (double x :
         {0.0, -0.0, kTiny, -kTiny, 1e-310, kMinNormal, 1e-20, kInf, -kInf, kNaN, -kNaN}) {
        EXPECT_TRUE(SameValue(std::cos(x), keying::Cos(x))) << "cos(" << x << ")";
    }
    EXPECT_TRUE(std::isnan(keying::Cos(kInf)));
    EXPECT_TRUE(std::isnan(keying::Cos(-kInf)));
}

// Values as MPFR rounds them (at 2000 bits) where the argument reduction has
// the most to do: both sides of the vectorised range and far beyond it. The
// C libraries disagree here (mingw-w64's cos(1e300) is 0.2039, the true value
// -0.5754), so the values are written down.
TEST(DetMath, CosOfHugeArgumentsIsCorrectlyRounded) {
    const struct {
        double x, cos;
    } cases[] = {
        {0x1.fffffffffffffp+1023, -0x1.fffe62ecfab75p-1},
        {1e300, -0x1.2699022adc4c1p-1},
        {1e22, 0x1.0be2cef01c8f4p-1},
        {0x1p+64, -0x1.ffdb7fa3fe34dp-1},
        {0x1p+53, -0x1.0e9918bb35aacp-1},
        {0x1.0000000000001p+52, -0x1.fef526a39c993p-1},
        {1e15, -0x1.06c154609d33fp-1},
        {0x1p+19, 0x1.f8c1986ca67fap-1},
        {0x1.ffffffffffffep+18, 0x1.f8c1986cd168bp-1},
        {0x1.6a09e667f3bcdp+0, 0x1.3f5f6868470b3p-3},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(SameValue(c.cos, keying::Cos(c.x))) << "cos(" << std::hexfloat << c.x << ")";
        EXPECT_TRUE(SameValue(c.cos, keying::Cos(-c.x))) << "cos(" << std::hexfloat << -c.x << ")";
    }
}

TEST(DetMath, PowOfSpecialValuesFollowsTheCLibrarysRules) {
    for (double x : Specials()) {
        for (double y : Specials()) {
            const double expected = std::pow(x, y);
            // Zeros, infinities, NaN and exact ones are the rules' results;
            // the rounded values are checked against MPFR (below and in
            // test_det_math_mpfr), not against a C library: mingw-w64's
            // pow(1 - 2^-53, -2^19) is 1 + 2^-33, the true value 1 + 2^-34.
            if (!std::isfinite(expected) || expected == 0.0 || std::fabs(expected) == 1.0) {
                EXPECT_TRUE(SameValue(expected, keying::Pow(x, y)))
                    << "pow(" << x << ", " << y << ")";
            }
        }
    }
    // The cases that name the rules: no real power of a negative base to a
    // fraction; the zero base's sign under odd exponents; a base of 1 and an
    // exponent of 0 win over NaN.
    EXPECT_TRUE(std::isnan(keying::Pow(-0.5, 1.0 / 2.2)));
    EXPECT_TRUE(SameValue(-kInf, keying::Pow(-0.0, -3.0)));
    EXPECT_TRUE(SameValue(-0.0, keying::Pow(-0.0, 3.0)));
    EXPECT_TRUE(SameValue(0.0, keying::Pow(-0.0, 0.5)));
    EXPECT_TRUE(SameValue(1.0, keying::Pow(1.0, kNaN)));
    EXPECT_TRUE(SameValue(1.0, keying::Pow(kNaN, 0.0)));
    EXPECT_TRUE(SameValue(1.0, keying::Pow(-1.0, kInf)));
    EXPECT_TRUE(SameValue(-8.0, keying::Pow(-2.0, 3.0)));
}

// Powers where a small error in log2 of the base grows with the exponent,
// as MPFR rounds them (at 2000 bits).
TEST(DetMath, PowOfBasesNearOneToLargeExponentsIsCorrectlyRounded) {
    const struct {
        double x, y, pow;
    } cases[] = {
        {0x1.fffffffffffffp-1, -0x1p+19, 0x1.0000000040000p+0},
        {0x1.ff7ced916872bp-1, 0x1.388p+13, 0x1.7af105956a80fp-15},  // gamma 0.0001
        {0x1.fffffep-1, 0x1p+23, 0x1.368b2f7956948p-1},
        {0x1.000002p+0, 0x1.8p+24, 0x1.415e5832e0072p+4},
        {0x1.3333333333333p-2, 0x1.d1745d1745d17p-2, 0x1.28356d175935ep-1},  // 0.3 to 1/2.2
        {3.0, 0x1.5555555555555p-2, 0x1.7137449123ef6p+0},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(SameValue(c.pow, keying::Pow(c.x, c.y)))
            << "pow(" << std::hexfloat << c.x << ", " << c.y << ")";
    }
}

TEST(DetMath, ExactResultsComeOutExact) {
    // Where the true result is a double, a correctly rounded function returns it.
    EXPECT_EQ(keying::Cos(0.0), 1.0);
    EXPECT_EQ(keying::Cos(keying::kPi), -1.0);  // cos(pi - 1.2e-16) rounds to -1
    EXPECT_EQ(keying::Cos(1e-9), 1.0);
    EXPECT_EQ(keying::Pow(2.0, 10.0), 1024.0);
    EXPECT_EQ(keying::Pow(0.5, 3.0), 0.125);
    EXPECT_EQ(keying::Pow(0.25, 0.5), 0.5);
    EXPECT_EQ(keying::Pow(9.0, 0.5), 3.0);
    EXPECT_EQ(keying::Pow(0.0625, 0.25), 0.5);
    EXPECT_EQ(keying::Pow(10.0, 2.0), 100.0);
    EXPECT_EQ(keying::Pow(2.0, -1074.0), kTiny);
    EXPECT_EQ(keying::Pow(2.0, 1023.0), 0x1p1023);
    EXPECT_EQ(keying::Pow(2.0, 1024.0), kInf);
    EXPECT_EQ(keying::Pow(2.0, -1076.0), 0.0);
    for (float p : {0.3f, 0.7f, 1e-30f, 0.999f})
        EXPECT_EQ(keying::Pow(p, 1.0), static_cast<double>(p));
}

// The line kernels spare the power of a float base of 1 or more under a
// positive exponent where the matte clamps any power of 1 or more: its float
// must never come out below 1, even where the true power lies a hair above 1
// (tiny exponents, bases next to 1) or overflows.
TEST(DetMath, FloatOfAPowerOfABaseOfOneOrMoreIsNeverBelowOne) {
    std::vector<double> exponents{1e-300, 1e-30, 1e-9, 1e-7, 0x1p-24, 1.0 / 2.2, 1.0 / 3.0, 0.5,
                                  2.0,    3.0,   1e4,  0x1p70, kMax};
    for (int i = 0; i <= 40; ++i) exponents.push_back(1.0 / (0.0001 * std::pow(40000.0, i / 40.0)));
    std::vector<float> bases{1.0f, std::numeric_limits<float>::max()};
    float above = 1.0f;
    for (int step = 0; step < 2000; ++step) {
        above = std::nextafter(above, 2.0f);
        bases.push_back(above);
    }
    for (int e = 0; e < 128; ++e) {
        bases.push_back(std::ldexp(1.0f, e));
        bases.push_back(std::nextafter(std::ldexp(1.0f, e), 0.0f) * 1.5f);
    }
    int failures = 0;
    for (double y : exponents) {
        for (float x : bases) {
            const float power = static_cast<float>(keying::Pow(x, y));
            if (!(power >= 1.0f) && ++failures <= 5) {
                ADD_FAILURE() << "pow(" << std::hexfloat << x << ", " << y << ") = " << power
                              << std::defaultfloat;
            }
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST(DetMath, CosIsEvenAndOfHalfPiGivesTheGapToTheTrueOne) {
    for (double x : {0.1, 0.7853981633974483, 1.5, 3.0, 1e5, 1e300}) {
        EXPECT_TRUE(SameValue(keying::Cos(x), keying::Cos(-x))) << x;
    }
    // pi/2 as a double lies 6.1e-17 below the true one.
    EXPECT_EQ(keying::Cos(keying::kHalfPi), 6.123233995736766e-17);
}

// Values for the block functions: every magnitude, both sides of the
// vectorised range, and the special ones.
std::vector<double> Mixed() {
    std::vector<double> values = Specials();
    std::uint64_t state = 99;
    for (int i = 0; values.size() < 203; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double unit = static_cast<double>(state >> 11) / 9007199254740992.0;
        values.push_back(i % 4 == 0 ? std::ldexp(unit, static_cast<int>(state % 120) - 60)
                                    : (unit * 4.0 - 1.0) * (i % 3 == 0 ? keying::kPi : 1.0));
    }
    return values;
}

TEST(DetMath, BlockFunctionsGiveTheScalarBits) {
    const std::vector<double> in = Mixed();
    const int count = static_cast<int>(in.size());
    std::vector<double> out(in.size());
    keying::CosLanes(in.data(), out.data(), count);
    for (int i = 0; i < count; ++i) {
        EXPECT_TRUE(SameValue(keying::Cos(in[i]), out[i])) << "cos(" << in[i] << ")";
    }
    for (double y : {1.0 / 2.2, 2.2, 10000.0, 3.0, -2.0, 0.0, -0.0, kInf, -kInf, kNaN, 0x1p70}) {
        keying::PowLanes(in.data(), y, out.data(), count);
        for (int i = 0; i < count; ++i) {
            EXPECT_TRUE(SameValue(keying::Pow(in[i], y), out[i]))
                << "pow(" << in[i] << ", " << y << ")";
        }
    }
}

}  // namespace

namespace {

// The block function over a dense sweep: every quadrant, the edges where the
// reduction steps to the next multiple of pi/2, and the values around each
// multiple of pi/4 where the kernel switches between cosine and sine.
TEST(DetMath, BlockCosGivesTheScalarBitsOverDenseSweeps) {
    std::vector<double> in;
    for (int i = -20000; i <= 20000; ++i) in.push_back(i * 0.000731 * keying::kPi);
    for (int k = 0; k < 400; ++k) {
        const double centre = k * 0.25 * keying::kPi;
        double below = centre;
        double above = centre;
        for (int step = 0; step < 8; ++step) {
            below = std::nextafter(below, -kInf);
            above = std::nextafter(above, kInf);
            in.push_back(below);
            in.push_back(above);
        }
    }
    for (double v : Specials()) in.push_back(v);
    std::vector<double> out(in.size());
    keying::CosLanes(in.data(), out.data(), static_cast<int>(in.size()));
    int failures = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (!SameValue(keying::Cos(in[i]), out[i]) && ++failures <= 5) {
            ADD_FAILURE() << "cos(" << std::hexfloat << in[i] << ")" << std::defaultfloat;
        }
    }
    EXPECT_EQ(failures, 0) << "of " << in.size();
}

// The line kernels decide a matte's float from RoughCos where its error bound
// allows: the bound must hold against Cos everywhere in its range. Checked
// with a sixteenth of the bound, so that a slip in the reduction or the series
// (each worth far more) shows, not only one past the bound.
TEST(DetMath, RoughCosStaysWellWithinItsBoundOfCos) {
    namespace dm = keying::det_math;
    std::vector<double> in;
    for (int i = 0; i <= 200000; ++i) in.push_back(i * 0.00001 * keying::kPi);
    std::uint64_t state = 99;
    for (int i = 0; i < 200000; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double unit = static_cast<double>(state >> 11) / 9007199254740992.0;
        in.push_back((unit * 2.0 - 1.0) * std::ldexp(dm::kRoughCosLimit, -(i % 20)));
    }
    for (int k = 0; k < 4000; ++k) {
        in.push_back(std::nextafter(k * keying::kHalfPi, 0.0));
        in.push_back(std::nextafter(k * keying::kHalfPi, kInf));
        in.push_back(std::nextafter((k + 0.5) * keying::kHalfPi, 0.0));
        in.push_back(std::nextafter((k + 0.5) * keying::kHalfPi, kInf));
    }
    in.push_back(dm::kRoughCosLimit);
    in.push_back(-dm::kRoughCosLimit);
    double worst = 0.0;
    double worstAt = 0.0;
    for (double x : in) {
        const double gap = std::fabs(dm::RoughCos(x) - keying::Cos(x));
        if (!(gap <= worst)) {
            worst = gap;
            worstAt = x;
        }
    }
    EXPECT_LE(worst, dm::kRoughCosError / 16.0)
        << "at " << std::hexfloat << worstAt << std::defaultfloat;
    // Exact where the series is: cos(0) and the signs of each quadrant.
    EXPECT_EQ(dm::RoughCos(0.0), 1.0);
    EXPECT_LT(dm::RoughCos(keying::kPi), -0.999);
    EXPECT_GT(dm::RoughCos(-1.5 * keying::kHalfPi), -0.75);
    EXPECT_LT(dm::RoughCos(-1.5 * keying::kHalfPi), -0.7);
}

// The line kernels decide a matte's float from RoughPow where its error
// bound allows: the bound must hold against Pow wherever y log2 x lies within
// its limit, for the bases a matte gives (floats in (0, 2], every float next
// to 1, floats of every binade down to the subnormals) and doubles far
// beyond, and the exponents of gammas from 0.0001 to 4 and their inverses.
// Checked with half the bound (the derivation gives 2^-38.05; this sweep
// finds 2^-38.35, the fitted logarithm's error at |t| next to the limit), so
// that a slip in the logarithm or the series (each worth far more) shows.
std::vector<double> RoughPowBases() {
    std::vector<double> bases;
    for (int i = 1; i <= 20000; ++i) bases.push_back(static_cast<float>(i * 0.0001));
    float below = 1.0f;
    float above = 1.0f;
    for (int step = 0; step < 20000; ++step) {
        below = std::nextafter(below, 0.0f);
        above = std::nextafter(above, 2.0f);
        bases.push_back(below);
        bases.push_back(above);
    }
    std::uint64_t state = 7;
    auto unit = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(state >> 11) / 9007199254740992.0;
    };
    for (int e = -149; e <= 127; ++e) {
        for (int i = 0; i < 40; ++i) bases.push_back(std::ldexp(static_cast<float>(1.0 + unit()), e));
    }
    for (int i = 0; i < 20000; ++i) bases.push_back(std::ldexp(0.5 + unit(), i % 2040 - 1020));
    bases.push_back(0x1p-1022);
    bases.push_back(std::numeric_limits<double>::max());
    bases.push_back(std::numeric_limits<float>::denorm_min());
    bases.push_back(std::numeric_limits<float>::max());
    return bases;
}

std::vector<double> GammaExponents() {
    std::vector<double> exponents;
    for (int i = 0; i <= 60; ++i) {
        const double gamma = 0.0001 * std::pow(40000.0, i / 60.0);
        exponents.push_back(1.0 / gamma);
        exponents.push_back(-gamma);
    }
    return exponents;
}

TEST(DetMath, RoughPowStaysWithinItsBoundOfPow) {
    namespace dm = keying::det_math;
    const std::vector<double> bases = RoughPowBases();
    double worst = 0.0;
    double worstBase = 0.0;
    double worstExponent = 0.0;
    int checked = 0;
    for (double y : GammaExponents()) {
        for (double x : bases) {
            if (!(std::fabs(y * std::log2(x)) <= dm::kRoughPowLimit)) continue;
            const double exact = keying::Pow(x, y);
            const double gap = std::fabs(dm::RoughPow(x, y) - exact) / exact;
            ++checked;
            if (!(gap <= worst)) {
                worst = gap;
                worstBase = x;
                worstExponent = y;
            }
        }
    }
    EXPECT_GT(checked, 5000000);
    EXPECT_LE(worst, dm::kRoughPowError / 2.0)
        << "at pow(" << std::hexfloat << worstBase << ", " << worstExponent << ")"
        << std::defaultfloat;
    // Exact where the series is: a base of 1, an exponent of 0, powers of 2.
    EXPECT_EQ(dm::RoughPow(1.0, 1.0 / 2.2), 1.0);
    EXPECT_EQ(dm::RoughPow(0.37, 0.0), 1.0);
    EXPECT_EQ(dm::RoughPow(0.25, 0.5), 0.5);
    EXPECT_EQ(dm::RoughPow(0x1p-100, -1.5), 0x1p150);
    // Beyond the limit the value is clamped: a float 0 or infinity either way,
    // for any exponent however large.
    for (double y : {10000.0, 1e300}) {
        EXPECT_EQ(static_cast<float>(dm::RoughPow(0.5, y)), 0.0f);
        EXPECT_EQ(static_cast<float>(dm::RoughPow(2.0, y)), std::numeric_limits<float>::infinity());
        EXPECT_EQ(static_cast<float>(dm::RoughPow(0x1p-1000, -y)),
                  std::numeric_limits<float>::infinity());
    }
}

// The float power, as made once for a line (FloatPowerOf) or per call, gives
// the float of Pow for every kind of base: the sweeps above, zeros of both
// signs, negatives (NaN for a fractional exponent, signed for an odd one),
// subnormals, infinities and NaN; and RoughPow decides all but a small share
// of a matte's lanes (about 2^-11.5 by the bound; a looser bound, or a slip
// that spreads the two ends apart, leaves far more to Pow).
TEST(DetMath, FloatPowerGivesTheFloatOfPowForEveryKindOfBase) {
    namespace dm = keying::det_math;
    std::vector<double> bases = RoughPowBases();
    for (double v : Specials()) bases.push_back(v);
    for (double v : Mixed()) bases.push_back(v);
    const int count = static_cast<int>(bases.size());
    std::vector<float> out(bases.size());
    std::vector<double> exponents = GammaExponents();
    for (double y : {1.0, 3.0, -1.0, -2.0, 0.0, -0.0, 0x1p70, kInf, -kInf, kNaN}) {
        exponents.push_back(y);
    }
    int failures = 0;
    for (double y : exponents) {
        const keying::FloatPowerPlan plan = keying::FloatPowerOf(y);
        for (int round = 0; round < 2; ++round) {
            // Runs of 61 lanes: chunks full and partial, in both forms.
            for (int start = 0; start < count; start += 61) {
                const int n = std::min(61, count - start);
                if (round == 0) {
                    keying::PowFloatLanes(plan, &bases[start], &out[start], n);
                } else {
                    keying::PowFloatLanes(&bases[start], y, &out[start], n);
                }
            }
            for (int i = 0; i < count; ++i) {
                const float expected = static_cast<float>(keying::Pow(bases[i], y));
                if (!SameValue(expected, out[i]) && ++failures <= 5) {
                    ADD_FAILURE() << "pow(" << std::hexfloat << bases[i] << ", " << y << ") "
                                  << expected << ", block " << out[i] << std::defaultfloat;
                }
            }
        }
    }
    EXPECT_EQ(failures, 0);

    int undecided = 0;
    int lanes = 0;
    for (int i = 1; i <= 1000000; ++i) {
        const double x = static_cast<float>(i * 0.000001);
        const double v = dm::RoughPow(x, 1.0 / 2.2);
        const double spread = v * (2.0 * dm::kRoughPowError);
        undecided += static_cast<float>(v - spread) != static_cast<float>(v + spread);
        ++lanes;
    }
    EXPECT_GT(undecided, 0);
    EXPECT_LT(undecided, lanes / 1000);
}

}  // namespace
