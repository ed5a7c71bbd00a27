#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "fir.h"

namespace {

std::vector<float> design(int n, float fs, float fc)
{
    std::vector<float> coeffs(n);
    designLPF(coeffs.data(), n, fs, fc);
    return coeffs;
}

TEST(DesignLPF, ProgramFilterHasTheExpectedShape)
{
    const std::vector<float> c = design(64, 44.1f, 2.0f);
    for (int i = 0; i < 64; i++) {
        EXPECT_EQ(c[i], c[63 - i]) << "asymmetric at " << i;
        const bool side_lobe = (i >= 10 && i <= 20) || (i >= 43 && i <= 53);
        EXPECT_EQ(c[i] < 0.0f, side_lobe) << "sign at " << i;
    }
    const auto largest = std::max_element(c.begin(), c.end());
    const auto smallest = std::min_element(c.begin(), c.end());
    EXPECT_EQ(largest - c.begin(), 31);
    EXPECT_EQ(smallest - c.begin(), 16);
    EXPECT_EQ(c[47], *smallest);
    EXPECT_NEAR(c[31], 0.090, 0.001);
    EXPECT_NEAR(*smallest, -0.020, 0.001);
    EXPECT_NEAR(c[0], 0.004, 0.001);
    EXPECT_NEAR(std::accumulate(c.begin(), c.end(), 0.0), 1.063, 0.001);
}

TEST(DesignLPF, MatchesTheSincInDoublePrecision)
{
    for (int n : {1, 7, 64, 65}) {
        const std::vector<float> c = design(n, 44.1f, 2.0f);
        const double wc = 2.0 * design_pi * 2.0 / 44.1;
        for (int i = 0; i < n; i++) {
            const double m = i - (n - 1) / 2.0;
            const double ideal = m == 0.0 ? wc / design_pi : std::sin(m * wc) / (m * design_pi);
            // n * wc is a single-precision product, so near the sinc's zeros only an
            // absolute bound holds.
            EXPECT_NEAR(c[i], ideal, 1e-6 * std::fabs(ideal) + 2e-8) << "N " << n << " i " << i;
        }
    }
}

TEST(DesignLPF, OddLengthHasTwiceTheCutoffOverTheRateInTheMiddle)
{
    // The sinc's middle tap is wc / pi = 2 fc / fs: a half for fs 2 and fc 0.5,
    // which single precision holds exactly.
    for (int n : {1, 5, 63}) {
        const std::vector<float> c = design(n, 2.0f, 0.5f);
        EXPECT_EQ(c[n / 2], 0.5f) << "N " << n;
    }
}

TEST(DesignLPF, NonPositiveLengthWritesNothing)
{
    for (int n : {0, -1, -64}) {
        float guard[4] = {7.0f, 7.0f, 7.0f, 7.0f};
        designLPF(guard, n, 44.1f, 2.0f);
        for (float g : guard)
            EXPECT_EQ(g, 7.0f) << "N " << n;
    }
}

}  // namespace
