// Element arithmetic (the exact raw + reference sum, the power of ten by squaring, CCITT IA5
// text, 2 03 YYY reference values) and the debug float form of decoded values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "bitstream/bit_reader.h"
#include "data/element_reader.h"
#include "data/float_repr.h"

namespace norvane {
namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();

class ScaledValue : public testing::TestWithParam<std::tuple<std::uint64_t, std::int64_t, std::int32_t, double>> {};

TEST_P(ScaledValue, SumsExactlyThenDivides) {
    const auto& [raw, reference, scale, expected] = GetParam();
    EXPECT_EQ(scaled_value(raw, reference, scale), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScaledValue,
    testing::Values(
        std::tuple{std::uint64_t{100}, std::int64_t{-40}, 1, 6.0}, std::tuple{std::uint64_t{27315}, std::int64_t{0}, 2, 273.15},
        // A negative scale divides by the rounded reciprocal, not multiplies by 10^-s.
        std::tuple{std::uint64_t{4015}, std::int64_t{0}, -5, 4015 / (1.0 / 100000.0)},
        // 2^53 + 1 - 1 is 2^53 exactly; adding in doubles would give 2^53 - 1.
        std::tuple{(std::uint64_t{1} << 53) + 1, std::int64_t{-1}, 0, 9007199254740992.0},
        // Sums beyond both 64-bit ranges.
        std::tuple{kMaxU64, std::numeric_limits<std::int64_t>::max(), 0, 27670116110564327424.0},
        std::tuple{std::uint64_t{0}, std::numeric_limits<std::int64_t>::min(), 0, -9223372036854775808.0},
        std::tuple{std::uint64_t{5}, std::int64_t{0}, 400, 0.0}));  // 10^400 overflows; its reciprocal is 0

TEST(ElementArithmetic, PowersOfTenAndSaturation) {
    EXPECT_EQ(power_of_ten(23), 1e23);  // 10 * 100 * 10^4 * 10^16: every factor exact, one rounding
    EXPECT_EQ(power_of_ten(33), 10.0 * (1e16 * 1e16));  // 10^32 is squared from 10^16, then rounded again
    EXPECT_EQ(power_of_ten(-3), 1.0 / 1000.0);
    EXPECT_EQ(power_of_ten(309), kInf);
    EXPECT_EQ(power_of_ten(std::numeric_limits<std::int32_t>::min()), 0.0);
    EXPECT_EQ(saturating_u64(2.9), 2u);
    EXPECT_EQ(saturating_u64(-3.5), 0u);
    EXPECT_EQ(saturating_u64(std::nan("")), 0u);
    EXPECT_EQ(saturating_u64(1e30), kMaxU64);
    EXPECT_EQ(saturating_u64(18446744073709549568.0), 18446744073709549568u);
}

class Ia5Text : public testing::TestWithParam<std::tuple<std::string, std::optional<std::string>>> {};

TEST_P(Ia5Text, Decodes) {
    const auto& [field, expected] = GetParam();
    std::string text = field;
    const std::optional<std::size_t> length = decode_ia5_text(text);
    ASSERT_EQ(length.has_value(), expected.has_value());
    if (expected) {
        EXPECT_EQ(text.substr(0, *length), *expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Ia5Text,
                         testing::Values(std::tuple{std::string(), std::nullopt},
                                         std::tuple{std::string("    "), std::optional<std::string>("")},
                                         // NUL and other controls are not white space and stay, also at the end.
                                         std::tuple{std::string("\x80 A\0\t\n\v\f\r ", 10),
                                                    std::optional<std::string>(std::string("? A\0", 4))}));

class FloatRepr : public testing::TestWithParam<std::tuple<double, std::string>> {};

TEST_P(FloatRepr, Writes) { EXPECT_EQ(float_repr(std::get<0>(GetParam())), std::get<1>(GetParam())); }

INSTANTIATE_TEST_SUITE_P(
    Boundaries, FloatRepr,
    testing::Values(
        std::tuple{0.0, "0.0"}, std::tuple{-0.0, "-0.0"}, std::tuple{273.15, "273.15"},
        std::tuple{0.1 + 0.2, "0.30000000000000004"}, std::tuple{401499999.99999994, "401499999.99999994"},
        // Positional within [1e-4, 1e16), exponent form outside.
        std::tuple{1e-4, "0.0001"}, std::tuple{std::nextafter(1e-4, 0.0), "9.999999999999999e-5"},
        std::tuple{-0.00012, "-0.00012"}, std::tuple{9999999999999998.0, "9999999999999998.0"},
        std::tuple{1e16, "1e16"}, std::tuple{-1.2345e20, "-1.2345e20"}, std::tuple{1.5e-7, "1.5e-7"},
        std::tuple{std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        std::tuple{std::numeric_limits<double>::denorm_min(), "5e-324"}, std::tuple{std::nan(""), "NaN"},
        std::tuple{kInf, "inf"}, std::tuple{-kInf, "-inf"}));

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

// Sign and magnitude over `width` bits, read from bit 0 of the octets; none on failure.
std::optional<std::int64_t> new_reference(std::initializer_list<std::uint8_t> octets, unsigned width) {
    const std::vector<std::uint8_t> data(octets);
    BitReader reader(data);
    const Result<std::int64_t> value = read_new_reference(reader, width, 7030);
    if (!value) return std::nullopt;
    EXPECT_EQ(reader.position(), width);
    return *value;
}

TEST(NewReference, SignAndMagnitude) {
    EXPECT_EQ(new_reference({0x80}, 1), 0);  // a sign bit alone
    EXPECT_EQ(new_reference({0x85}, 8), -5);
    EXPECT_EQ(new_reference({0x05}, 8), 5);
    EXPECT_EQ(new_reference({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 64),
              -std::numeric_limits<std::int64_t>::max());
    // Wider fields are read whole; the value must still fit in 63 bits of magnitude.
    EXPECT_EQ(new_reference({0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03}, 136), -3);
    EXPECT_EQ(new_reference({0x00, 0x80, 0, 0, 0, 0, 0, 0, 0}, 72), std::nullopt);
}

}  // namespace
}  // namespace norvane
