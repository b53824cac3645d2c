// keying::Cos and keying::Pow: the special values as the C library gives them,
// powers and cosines whose correctly rounded result is exact, and the block
// functions giving the scalar functions' bits. Their accuracy is measured
// against MPFR in test_det_math_mpfr.cpp.

#include <gtest/gtest.h>

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

TEST(DetMath, CosOfSpecialValuesIsTheCLibrarys) {
    for (double x : Specials()) {
        EXPECT_TRUE(SameValue(std::cos(x), keying::Cos(x))) << "cos(" << x << ")";
    }
    EXPECT_TRUE(std::isnan(keying::Cos(kInf)));
    EXPECT_TRUE(std::isnan(keying::Cos(-kInf)));
}

// Within one ulp of each other (both correctly rounded almost always, but not
// in every hard case, such as pow(DBL_MAX, 0.5), whose exact value lies 2^-109
// from a rounding boundary).
::testing::AssertionResult Close(double expected, double actual) {
    if (actual == expected || actual == std::nextafter(expected, kInf) ||
        actual == std::nextafter(expected, -kInf)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "expected " << expected << ", got " << actual;
}

TEST(DetMath, PowOfSpecialValuesIsTheCLibrarys) {
    for (double x : Specials()) {
        for (double y : Specials()) {
            const double expected = std::pow(x, y);
            const double actual = keying::Pow(x, y);
            // Zeros, infinities, NaN and exact ones are the rules' results;
            // any other is a rounded value.
            const bool rule =
                !std::isfinite(expected) || expected == 0.0 || std::fabs(expected) == 1.0;
            EXPECT_TRUE(rule ? SameValue(expected, actual) : Close(expected, actual))
                << "pow(" << x << ", " << y << ")";
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
