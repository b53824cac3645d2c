// keying::Cos and keying::Pow against MPFR at 256 bits, over dense sweeps of
// the arguments the keyer gives them (cos of pi t, pi/2 t and t for the
// falloff curves; pow of float bases in [-1, 1] to 1/gamma over the Gamma
// Alpha slider) and over the rest of the doubles. Every result must lie
// within 1 ulp (one of the two doubles around the exact value); the share
// correctly rounded and the share that differs from this C library's are
// printed. VESKAR_DET_MATH_SWEEP=N makes every sweep N times longer.

#include <gtest/gtest.h>
#include <mpfr.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "keying/det_math.h"
#include "keying/key_signal.h"

namespace {

constexpr mpfr_prec_t kPrecision = 256;

long SweepScale() {
    const char* scale = std::getenv("VESKAR_DET_MATH_SWEEP");
    const long n = scale != nullptr ? std::atol(scale) : 1;
    return n > 0 ? n : 1;
}

class Exact {
  public:
    Exact() {
        // The exponent range of doubles, so that subnormal roundings come out right.
        mpfr_set_emin(-1073);
        mpfr_set_emax(1024);
        mpfr_inits2(kPrecision, value_, other_, error_, static_cast<mpfr_ptr>(nullptr));
    }
    ~Exact() { mpfr_clears(value_, other_, error_, static_cast<mpfr_ptr>(nullptr)); }
    Exact(const Exact&) = delete;
    Exact& operator=(const Exact&) = delete;

    void Cos(double x) {
        mpfr_set_d(other_, x, MPFR_RNDN);
        mpfr_cos(value_, other_, MPFR_RNDN);
    }
    void Pow(double x, double y) {
        mpfr_set_d(value_, x, MPFR_RNDN);
        mpfr_set_d(other_, y, MPFR_RNDN);
        mpfr_pow(value_, value_, other_, MPFR_RNDN);
    }
    double Rounded(mpfr_rnd_t mode) const {
        // Rounded as a double would be, subnormals included.
        mpfr_t d;
        mpfr_init2(d, 53);
        mpfr_set(d, value_, mode);
        const int inexact = mpfr_subnormalize(d, mpfr_cmp(d, value_), mode);
        (void)inexact;
        const double v = mpfr_get_d(d, mode);
        mpfr_clear(d);
        return v;
    }
    // |r - exact| in ulps of the exact value (subnormal ulp below 2^-1022).
    double UlpError(double r) {
        mpfr_set_d(error_, r, MPFR_RNDN);
        mpfr_sub(error_, error_, value_, MPFR_RNDN);
        mpfr_abs(error_, error_, MPFR_RNDN);
        long e = mpfr_zero_p(value_) ? -1021 : mpfr_get_exp(value_);
        if (e < -1021) e = -1021;
        mpfr_mul_2si(error_, error_, 53 - e, MPFR_RNDN);
        return mpfr_get_d(error_, MPFR_RNDN);
    }

  private:
    mpfr_t value_, other_, error_;
};

struct Tally {
    long count = 0;
    long correct = 0;
    long differFromLibm = 0;
    double maxUlp = 0.0;
    std::string worst;

    void Add(Exact& exact, double result, double libm, const std::string& what) {
        ++count;
        const double down = exact.Rounded(MPFR_RNDD);
        const double up = exact.Rounded(MPFR_RNDU);
        const double nearest = exact.Rounded(MPFR_RNDN);
        if (result == nearest && std::signbit(result) == std::signbit(nearest)) ++correct;
        if (std::bit_cast<std::uint64_t>(result) != std::bit_cast<std::uint64_t>(libm))
            ++differFromLibm;
        const double ulp =
            std::isfinite(result) ? exact.UlpError(result) : (result == nearest ? 0.0 : HUGE_VAL);
        if (ulp > maxUlp) {
            maxUlp = ulp;
            worst = what;
        }
        // Faithful: one of the two doubles that enclose the exact value.
        EXPECT_TRUE(result == down || result == up)
            << what << " = " << result << ", exact in [" << down << ", " << up << "]";
    }

    void Print(const char* name) const {
        std::printf(
            "%-34s %9ld values, max %.4f ulp (%s), %.5f%% correctly rounded, "
            "%.5f%% differ from the C library\n",
            name, count, maxUlp, worst.c_str(), 100.0 * correct / count,
            100.0 * differFromLibm / count);
    }
};

std::string Call(const char* f, double x) {
    char text[64];
    std::snprintf(text, sizeof text, "%s(%a)", f, x);
    return text;
}
std::string Call(const char* f, double x, double y) {
    char text[96];
    std::snprintf(text, sizeof text, "%s(%a, %a)", f, x, y);
    return text;
}

void SweepCos(const char* name, long n, const std::function<double(std::mt19937_64&, long)>& arg) {
    std::mt19937_64 random(12345);
    Exact exact;
    Tally tally;
    for (long i = 0; i < n * SweepScale(); ++i) {
        const double x = arg(random, i);
        exact.Cos(x);
        tally.Add(exact, keying::Cos(x), std::cos(x), Call("cos", x));
    }
    tally.Print(name);
}

double Uniform(std::mt19937_64& random, double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(random);
}

TEST(DetMathMpfr, CosOfTheFalloffArguments) {
    // t from the distance times the fade: dense over the curve's period, and
    // well beyond it for the values far outside the window.
    SweepCos("cos(pi t), t in [0, 4]", 120000,
             [](std::mt19937_64& r, long) { return keying::kPi * Uniform(r, 0.0, 4.0); });
    SweepCos("cos(pi t), float t in [0, 1]", 60000, [](std::mt19937_64& r, long) {
        return keying::kPi * static_cast<double>(static_cast<float>(Uniform(r, 0.0, 1.0)));
    });
    SweepCos("cos(pi/2 t), t in [0, 8]", 80000,
             [](std::mt19937_64& r, long) { return keying::kHalfPi * Uniform(r, 0.0, 8.0); });
    SweepCos("cos(t), t in [-16, 16]", 80000,
             [](std::mt19937_64& r, long) { return Uniform(r, -16.0, 16.0); });
    SweepCos("cos(pi t), t in [0, 1e5]", 20000,
             [](std::mt19937_64& r, long) { return keying::kPi * Uniform(r, 0.0, 1e5); });
}

TEST(DetMathMpfr, CosOfEveryMagnitude) {
    // Every binade, and the doubles nearest to multiples of pi/2 (where the
    // reduction loses the most bits), on both sides of the vectorised range.
    SweepCos("cos(x), x of every exponent", 40000, [](std::mt19937_64& r, long) {
        const double m = Uniform(r, 1.0, 2.0);
        const int e = std::uniform_int_distribution<int>(-1074, 1023)(r);
        return std::ldexp(m, e) * (r() % 2 != 0 ? -1.0 : 1.0);
    });
    SweepCos("cos(x), x nearest to n pi/2", 40000, [](std::mt19937_64& r, long i) {
        const double n = std::floor(std::ldexp(Uniform(r, 1.0, 2.0), static_cast<int>(i % 40)));
        const double x = n * keying::kHalfPi;
        return std::nextafter(x, (i & 64) != 0 ? 0.0 : 1e300);
    });
}

void SweepPow(const char* name, long n,
              const std::function<void(std::mt19937_64&, long, double&, double&)>& args) {
    std::mt19937_64 random(6789);
    Exact exact;
    Tally tally;
    long nans = 0;
    for (long i = 0; i < n * SweepScale(); ++i) {
        double x = 0.0;
        double y = 0.0;
        args(random, i, x, y);
        const double result = keying::Pow(x, y);
        const double libm = std::pow(x, y);
        if (std::isnan(libm)) {
            EXPECT_TRUE(std::isnan(result)) << Call("pow", x, y) << " = " << result;
            ++nans;
            continue;
        }
        exact.Pow(x, y);
        tally.Add(exact, result, libm, Call("pow", x, y));
    }
    tally.Print(name);
    if (nans > 0) std::printf("%-34s %9ld NaN as the C library's\n", "", nans);
}

// Exponents 1/gamma over the slider (0.0001 to 4), the common values among them.
double GammaExponent(std::mt19937_64& r, long i) {
    static const double kGammas[] = {0.0001, 0.01, 0.1, 0.25, 0.45, 0.5, 0.8, 0.9, 1.1,
                                     1.2,    1.5,  1.8, 2.0,  2.2,  2.4, 2.6, 3.0, 4.0};
    const long count = static_cast<long>(sizeof kGammas / sizeof kGammas[0]);
    const double gamma = i % 2 == 0 ? kGammas[(i / 2) % count] : Uniform(r, 0.0001, 4.0);
    return 1.0 / gamma;
}

TEST(DetMathMpfr, PowOfTheMatteAndFadeSignals) {
    // The matte before offset and gain is a float, mostly in [0, 1]; the
    // fade signal (a float too) mostly in [-1, 0].
    SweepPow("pow(float p in [0, 1], 1/gamma)", 200000,
             [](std::mt19937_64& r, long i, double& x, double& y) {
                 x = static_cast<float>(Uniform(r, 0.0, 1.0));
                 y = GammaExponent(r, i);
             });
    SweepPow("pow(float p near 1, 1/gamma)", 60000,
             [](std::mt19937_64& r, long i, double& x, double& y) {
                 x = static_cast<float>(1.0 - std::ldexp(Uniform(r, 0.0, 1.0), -(i % 24)));
                 y = GammaExponent(r, i);
             });
    SweepPow("pow(float in [-1, 0], 1/gamma)", 20000,
             [](std::mt19937_64& r, long i, double& x, double& y) {
                 x = static_cast<float>(Uniform(r, -1.0, 0.0));
                 y = i % 3 == 0 ? static_cast<double>(i % 9 - 4) : GammaExponent(r, i);
             });
}

TEST(DetMathMpfr, PowOfEveryMagnitude) {
    SweepPow("pow(x of every exponent, y)", 60000,
             [](std::mt19937_64& r, long i, double& x, double& y) {
                 x = std::ldexp(Uniform(r, 1.0, 2.0),
                                std::uniform_int_distribution<int>(-1074, 1023)(r));
                 // Exponents that keep some results finite, and a few that do not.
                 const double limit = i % 10 == 0 ? 1e4 : 1000.0 / (std::fabs(std::log2(x)) + 1.0);
                 y = Uniform(r, -limit, limit);
             });
    SweepPow(
        "pow(negative x, integer y)", 20000, [](std::mt19937_64& r, long, double& x, double& y) {
            x = -std::ldexp(Uniform(r, 1.0, 2.0), std::uniform_int_distribution<int>(-60, 60)(r));
            y = std::floor(Uniform(r, -20.0, 20.0));
        });
}

}  // namespace
