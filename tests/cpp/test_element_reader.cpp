// Element arithmetic: the exact raw + reference sum, the power of ten by squaring, the
// division by it, and CCITT IA5 text.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>

#include "data/element_reader.h"

namespace norvane {
namespace {

constexpr std::uint64_t kTwo53 = std::uint64_t{1} << 53;
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t kMinI64 = std::numeric_limits<std::int64_t>::min();

class ScaledValue : public testing::TestWithParam<std::tuple<std::uint64_t, std::int64_t, std::int32_t, double>> {};

TEST_P(ScaledValue, SumsExactlyThenDivides) {
    const auto& [raw, reference, scale, expected] = GetParam();
    EXPECT_EQ(scaled_value(raw, reference, scale), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScaledValue,
    testing::Values(
        std::tuple{std::uint64_t{100}, std::int64_t{-40}, 1, 6.0},
        // A negative scale divides by the rounded reciprocal, not multiplies by 10^-s.
        std::tuple{std::uint64_t{3}, std::int64_t{0}, -2, 3 / 0.01},
        std::tuple{std::uint64_t{4015}, std::int64_t{0}, -5, 4015 / (1.0 / 100000.0)},
        std::tuple{std::uint64_t{27315}, std::int64_t{0}, 2, 273.15},
        // 2^53 + 1 - 1 is 2^53 exactly; adding in doubles would give 2^53 - 1.
        std::tuple{kTwo53 + 1, std::int64_t{-1}, 0, 9007199254740992.0},
        // Sums beyond both 64-bit ranges.
        std::tuple{kMaxU64, std::int64_t{1}, 0, 18446744073709551616.0},
        std::tuple{kMaxU64, std::numeric_limits<std::int64_t>::max(), 0, 27670116110564327424.0},
        std::tuple{std::uint64_t{0}, kMinI64, 0, -9223372036854775808.0},
        // 10^400 overflows to infinity; its reciprocal to 0.
        std::tuple{std::uint64_t{5}, std::int64_t{0}, 400, 0.0}));

TEST(PowerOfTen, SquaresTheBaseForEachBit) {
    // 10^23 = 10 * 100 * 10^4 * 10^16: every factor exact, one rounding.
    EXPECT_EQ(power_of_ten(23), 1e23);
    // 10^32 is squared from the rounded 10^16, then 10 * 10^32 rounds again.
    const double squares = 10.0 * (1e16 * 1e16);
    EXPECT_EQ(power_of_ten(33), squares);
    EXPECT_EQ(power_of_ten(-3), 1.0 / 1000.0);
    EXPECT_EQ(power_of_ten(0), 1.0);
    EXPECT_EQ(power_of_ten(309), std::numeric_limits<double>::infinity());
    EXPECT_EQ(power_of_ten(std::numeric_limits<std::int32_t>::min()), 0.0);
}

class Ia5Text : public testing::TestWithParam<std::tuple<std::string, std::optional<std::string>>> {};

TEST_P(Ia5Text, Decodes) {
    const auto& [field, expected] = GetParam();
    std::string text = field;
    const bool present = decode_ia5_text(text);
    ASSERT_EQ(present, expected.has_value());
    if (present) {
        EXPECT_EQ(text, *expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ia5Text,
    testing::Values(
        std::tuple{std::string("AB  "), std::optional<std::string>("AB")},
        std::tuple{std::string("\xFF\xFF"), std::optional<std::string>()},
        std::tuple{std::string(), std::optional<std::string>()},
        std::tuple{std::string("\xFF" "A"), std::optional<std::string>("?A")},
        std::tuple{std::string("    "), std::optional<std::string>("")},
        std::tuple{std::string(" A\t\n\v\f\r "), std::optional<std::string>(" A")},
        // NUL and other controls are not white space and stay, also at the end.
        std::tuple{std::string("A\0 ", 3), std::optional<std::string>(std::string("A\0", 2))},
        std::tuple{std::string("A\x1f"), std::optional<std::string>("A\x1f")},
        std::tuple{std::string("\x80\xFE "), std::optional<std::string>("??")}));

TEST(SaturatingU64, TruncatesTowardZero) {
    EXPECT_EQ(saturating_u64(2.9), 2u);
    EXPECT_EQ(saturating_u64(-3.5), 0u);
    EXPECT_EQ(saturating_u64(std::numeric_limits<double>::quiet_NaN()), 0u);
    EXPECT_EQ(saturating_u64(1e30), kMaxU64);
    EXPECT_EQ(saturating_u64(18446744073709549568.0), 18446744073709549568u);
}

}  // namespace
}  // namespace norvane
