// The debug float form at the switch between positional and exponent form, at the ends of
// the double range, and for the values the decoder produces most (scaled integers).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>

#include "data/float_repr.h"

namespace norvane {
namespace {

class FloatRepr : public testing::TestWithParam<std::tuple<double, std::string>> {};

TEST_P(FloatRepr, Writes) {
    const auto& [value, expected] = GetParam();
    EXPECT_EQ(float_repr(value), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, FloatRepr,
    testing::Values(
        std::tuple{0.0, "0.0"}, std::tuple{-0.0, "-0.0"}, std::tuple{1.0, "1.0"}, std::tuple{-0.5, "-0.5"},
        std::tuple{273.15, "273.15"}, std::tuple{0.1 + 0.2, "0.30000000000000004"},
        std::tuple{3008.0, "3008.0"}, std::tuple{401499999.99999994, "401499999.99999994"},
        // Smallest positional magnitude and the double just below it.
        std::tuple{1e-4, "0.0001"}, std::tuple{std::nextafter(1e-4, 0.0), "9.999999999999999e-5"},
        std::tuple{-0.00012, "-0.00012"},
        // Largest positional value and the switch at 10^16.
        std::tuple{1e15, "1000000000000000.0"}, std::tuple{9999999999999998.0, "9999999999999998.0"},
        std::tuple{1e16, "1e16"}, std::tuple{-1e16, "-1e16"}, std::tuple{1.2345e20, "1.2345e20"},
        std::tuple{18446744073709551615.0, "1.8446744073709552e19"},
        std::tuple{1.5e-7, "1.5e-7"}, std::tuple{1e-5, "1e-5"}, std::tuple{1e100, "1e100"},
        std::tuple{std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        std::tuple{std::numeric_limits<double>::denorm_min(), "5e-324"},
        std::tuple{std::numeric_limits<double>::quiet_NaN(), "NaN"},
        std::tuple{std::numeric_limits<double>::infinity(), "inf"},
        std::tuple{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(FloatRepr, ReadsBackAsTheSameDouble) {
    std::uint64_t seed = 12345;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        double value = 0.0;
        std::memcpy(&value, &seed, sizeof value);
        if (!std::isfinite(value)) continue;
        const std::string text = float_repr(value);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    }
}

}  // namespace
}  // namespace norvane
