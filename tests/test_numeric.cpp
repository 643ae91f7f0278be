// Numeric helpers: tolerance comparison, the 31-bit generator, the exact
// split of a double and the double-double product.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>

#include "lp_kesh.h"

namespace {

// Set by every test that draws from rand31, so that the test of the first
// number knows whether the state is still the one from loading.
bool g_drawn = false;
int draw() {
  g_drawn = true;
  return rand31();
}

// The generator as one 48-bit number: X <- (0x5DEECE66D X + 0xB) mod 2^48,
// the result the low 32 bits with the top bit cleared, a low word of all
// ones skipped.
struct Lcg48 {
  uint64_t x;
  int next() {
    uint32_t w;
    do {
      x = (0x5DEECE66DULL * x + 0xB) & 0xFFFFFFFFFFFFULL;
      w = (uint32_t)x;
    } while (w == 0xFFFFFFFFu);
    return (int)(w & 0x7FFFFFFF);
  }
};

// Whether the middle-limb sum of a step from x exceeds 32 bits, i.e. the
// limb arithmetic drops a carry.
bool middle_sum_wraps(uint64_t x) {
  uint64_t x0 = x & 0xFFFF, x1 = (x >> 16) & 0xFFFF;
  uint64_t l = 0xE66D * x0 + 0xB;
  return (l >> 16) + 0xDEEC * x0 + 0xE66D * x1 > 0xFFFFFFFFULL;
}

// A double with random sign and mantissa and binary exponent e.
double random_double(std::mt19937_64& rng, int e) {
  double m = 1.0 + (double)(rng() >> 11) * 0x1p-53;  // [1, 2)
  return std::ldexp(rng() & 1 ? -m : m, e);
}

}  // namespace

// ---- tol_compare -------------------------------------------------------------------------

TEST(TolCompare, AbsoluteBelowOneRelativeAbove) {
  double r = 123.0;
  EXPECT_EQ(tol_compare(0, 5e-8, 1e-7, &r), 0);
  EXPECT_EQ(r, 123.0);  // not written when the absolute test passes
  EXPECT_EQ(tol_compare(0.5, 0.75, 0.25, &r), 0);  // the bound itself agrees
  EXPECT_EQ(tol_compare(1000, 1000.00005, 1e-7, &r), 0);  // bound 1e-4 at magnitude 1000
  EXPECT_EQ(r, 123.0);

  EXPECT_EQ(tol_compare(0, 2e-7, 1e-7, &r), 1);
  EXPECT_EQ(r, 2e-7);  // x is 0: the ratio is y
  EXPECT_EQ(tol_compare(2, 0, 1e-7, &r), 1);
  EXPECT_EQ(r, 2.0);  // y is 0: the ratio is x
  EXPECT_EQ(tol_compare(0.5, 0, 1e-7, &r), 1);
  EXPECT_EQ(r, 0.5);
  // The ratio is the larger magnitude over the smaller, minus one.
  EXPECT_EQ(tol_compare(4, 2, 1e-7, &r), 1);
  EXPECT_EQ(r, 1.0);
  EXPECT_EQ(tol_compare(2, 4, 1e-7, &r), 1);
  EXPECT_EQ(r, 1.0);
  EXPECT_EQ(tol_compare(-1000, -1000.0005, 1e-7, &r), 1);
  EXPECT_NEAR(r, 5e-7, 1e-12);
  EXPECT_EQ(tol_compare(1e6, 1e6 + 0.2, 1e-7, &r), 1);
  EXPECT_NEAR(r, 2e-7, 1e-12);
}

TEST(TolCompare, RatioWindowOnlyForPositiveXAboveOne) {
  // Just past the absolute bound, the rounded ratio lands on tol itself.
  double y = std::nextafter(1.875, 2.0);
  double r = 0;
  EXPECT_EQ(tol_compare(1.5, y, 0.25, &r), 0);
  EXPECT_EQ(r, 0.25);  // written although the result is agreement
  r = 0;
  EXPECT_EQ(tol_compare(-1.5, -y, 0.25, &r), 1);
  EXPECT_EQ(r, 0.25);
}

TEST(TolCompare, NaNNeverAgrees) {
  double r = 0;
  EXPECT_EQ(tol_compare(1.0, NAN, 1e-7, &r), 1);
  EXPECT_TRUE(std::isnan(r));
  EXPECT_EQ(tol_compare(NAN, 1.0, 1e-7, &r), 1);
  EXPECT_EQ(tol_compare(3.0, 3.0, NAN, &r), 1);
}

// ---- rand31 ------------------------------------------------------------------------------

TEST(Rand31, FirstNumberAfterLoading) {
  if (g_drawn)
    GTEST_SKIP() << "another test in this process drew numbers first";
  EXPECT_EQ(rand31_state(), 0x555555555555ULL);
  EXPECT_EQ(draw(), 1616622396);
  EXPECT_EQ(rand31_state(), 0x5553605BB33CULL);
}

// The limb arithmetic drops the carry of a wrapping middle sum, but that
// carry is worth 2^48 in the state and would be cut off anyway: the limbs
// must always equal the 48-bit recurrence.
TEST(Rand31, LimbsFollowThe48BitRecurrence) {
  Lcg48 ref{rand31_state()};
  long wraps = 0;
  for (int i = 0; i < 1000000; ++i) {
    if (middle_sum_wraps(ref.x))
      ++wraps;
    int want = ref.next();
    int got = draw();
    if (got != want || rand31_state() != ref.x)
      FAIL() << "step " << i << ": got " << got << " want " << want << std::hex << " state "
             << rand31_state() << " want " << ref.x;
    ASSERT_GE(got, 0);
  }
  EXPECT_GT(wraps, 0);  // the comparison did cover steps that lose a carry
}

// ---- split27 -----------------------------------------------------------------------------

TEST(Split27, ExactSplitOverTheFiniteRange) {
  double hi = -1, lo = -1;
  EXPECT_EQ(split27(1.0, &hi, &lo), 0);
  EXPECT_EQ(hi, 1.0);
  EXPECT_EQ(lo, 0.0);
  split27(0.0, &hi, &lo);
  EXPECT_EQ(hi, 0.0);
  EXPECT_EQ(lo, 0.0);

  std::mt19937_64 rng(27);
  for (int e = -1022; e <= 995; ++e) {
    for (int k = 0; k < 20; ++k) {
      double v = random_double(rng, e);
      split27(v, &hi, &lo);
      // long double holds hi + lo without rounding: the parts span 53 bits.
      ASSERT_EQ((long double)hi + (long double)lo, (long double)v) << v;
      int ehi;
      double m = std::frexp(hi, &ehi);
      ASSERT_EQ(std::ldexp(m, 27), std::trunc(std::ldexp(m, 27))) << v;  // <= 27 bits
      ASSERT_LE(std::fabs(lo), std::ldexp(std::fabs(hi), -25)) << v;
    }
  }
  // Subnormals still split exactly (both parts are multiples of the least one).
  for (double v : {DBL_TRUE_MIN, 3 * DBL_TRUE_MIN, DBL_MIN / 3, -DBL_MIN / 7}) {
    split27(v, &hi, &lo);
    EXPECT_EQ(hi + lo, v);
  }
}

// 2^27 v overflows for |v| >= 2^997, and v + 2^27 v just below it: the split
// then yields no usable parts.
TEST(Split27, OverflowNearTheTopOfTheRange) {
  double hi, lo;
  for (double v : {0x1p997, -0x1p1000, DBL_MAX}) {
    split27(v, &hi, &lo);
    EXPECT_TRUE(std::isnan(hi)) << v;
    EXPECT_TRUE(std::isnan(lo)) << v;
  }
  split27(std::nextafter(0x1p997, 0.0), &hi, &lo);
  EXPECT_EQ(hi, INFINITY);
  EXPECT_EQ(lo, -INFINITY);
}

// ---- dd_mul ------------------------------------------------------------------------------

TEST(DdMul, SmallIntegersAreExact) {
  double hi = 3.0, lo = 0.0;
  EXPECT_EQ(dd_mul(&hi, &lo, 2.0), 0);
  EXPECT_EQ(hi, 6.0);
  EXPECT_EQ(lo, 0.0);

  // Every partial product and sum stays below 2^53: the pair must hold the
  // product exactly.
  std::mt19937_64 rng(5);
  for (int i = 0; i < 20000; ++i) {
    int64_t a = (int64_t)(rng() >> 24) - (1LL << 39);  // |a| < 2^40
    int64_t b = (int64_t)(rng() % 8193) - 4096;
    int64_t x = (int64_t)(rng() >> 44) - (1LL << 19);  // |x| < 2^20
    double h = (double)a, l = (double)b;
    dd_mul(&h, &l, (double)x);
    ASSERT_EQ(h, std::trunc(h));
    ASSERT_EQ(l, std::trunc(l));
    __int128 got = (__int128)(int64_t)h + (__int128)(int64_t)l;
    __int128 want = (__int128)(a + b) * x;
    ASSERT_TRUE(got == want) << a << " + " << b << " times " << x;
  }
}

// Against a 113-bit reference: (hi + lo) x holds to far better than a double
// product (whose error reaches 2^-53 relative).
TEST(DdMul, NearlyExactOverWideMagnitudes) {
  std::mt19937_64 rng(11);
  const __float128 bound = (__float128)std::ldexp(1.0, -72);
  for (int i = 0; i < 50000; ++i) {
    double hi = random_double(rng, (int)(rng() % 600) - 300);
    double lo = i % 2 == 0 ? 0.0 : random_double(rng, std::ilogb(hi) - 54 - (int)(rng() % 10));
    double x = random_double(rng, (int)(rng() % 600) - 300);
    __float128 want = (__float128)hi * x + (__float128)lo * x;
    double h = hi, l = lo;
    dd_mul(&h, &l, x);
    __float128 err = (__float128)h + (__float128)l - want;
    if (err < 0)
      err = -err;
    __float128 mag = want < 0 ? -want : want;
    ASSERT_TRUE(err <= bound * mag) << hi << " + " << lo << " times " << x << ": error "
                                    << (double)(err / mag);
  }
}
