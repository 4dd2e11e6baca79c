// BitReader against a bit-by-bit reference: every width at every position of buffers of
// every small length, so reads that straddle octets, fill the 64-bit window or end exactly
// at the last bit are all covered. Buffers are heap blocks of their exact size, so a read
// past the end shows up under AddressSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "bitstream/bit_reader.h"

namespace norvane {
namespace {

// An exact-size heap copy of some octets.
struct Buffer {
    explicit Buffer(const std::vector<std::uint8_t>& octets)
        : size(octets.size()), data(new std::uint8_t[octets.size()]) {
        std::copy(octets.begin(), octets.end(), data.get());
    }
    std::span<const std::uint8_t> span() const { return {data.get(), size}; }
    std::size_t size;
    std::unique_ptr<std::uint8_t[]> data;
};

std::vector<std::uint8_t> pseudo_random(std::size_t n, std::uint64_t seed) {
    std::vector<std::uint8_t> out(n);
    for (auto& octet : out) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        octet = static_cast<std::uint8_t>(seed >> 56);
    }
    return out;
}

int bit_at(const std::vector<std::uint8_t>& data, std::uint64_t i) { return (data[i / 8] >> (7 - i % 8)) & 1; }

std::uint64_t reference_u64(const std::vector<std::uint8_t>& data, std::uint64_t position, unsigned width) {
    std::uint64_t value = 0;
    for (unsigned k = 0; k < width; ++k) value = (value << 1) | static_cast<std::uint64_t>(bit_at(data, position + k));
    return value;
}

std::string reference_bytes(const std::vector<std::uint8_t>& data, std::uint64_t position, unsigned width) {
    std::string out((width + 7) / 8, '\0');
    for (unsigned k = 0; k < width; ++k)
        if (bit_at(data, position + k)) out[k / 8] = static_cast<char>(out[k / 8] | (0x80 >> (k % 8)));
    return out;
}

std::string running_out(std::uint64_t position, std::uint64_t width, std::uint64_t bits) {
    return "csv/table parse error: not enough bits while reading section 4 at bit " + std::to_string(position) +
           " for width " + std::to_string(width) + " (" + std::to_string(bits) + " bits available)";
}

// A reader moved to `position` by reads that are themselves checked.
BitReader reader_at(const Buffer& buffer, const std::vector<std::uint8_t>& octets, std::uint64_t position) {
    BitReader reader(buffer.span());
    while (reader.position() < position) {
        const auto step = static_cast<std::uint16_t>(std::min<std::uint64_t>(57, position - reader.position()));
        const std::uint64_t from = reader.position();
        const auto value = reader.read_u64(step);
        if (!value) {
            ADD_FAILURE() << "read_u64(" << step << ") at " << from << ": " << value.error().message();
            break;
        }
        EXPECT_EQ(*value, reference_u64(octets, from, step));
    }
    return reader;
}

std::vector<std::uint8_t> pattern(std::size_t length, int kind) {
    switch (kind) {
        case 0: return pseudo_random(length, length + 1);
        case 1: return std::vector<std::uint8_t>(length, 0xFF);
        default: return std::vector<std::uint8_t>(length, 0x00);
    }
}

class BitReaderLength : public testing::TestWithParam<std::tuple<std::size_t, int>> {};

TEST_P(BitReaderLength, ReadU64MatchesReferenceAtEveryPositionAndWidth) {
    const auto [length, kind] = GetParam();
    const auto octets = pattern(length, kind);
    const Buffer buffer(octets);
    const std::uint64_t bits = length * 8;
    for (std::uint64_t position = 0; position <= bits; ++position) {
        for (unsigned width = 0; width <= 64; ++width) {
            BitReader reader = reader_at(buffer, octets, position);
            const auto got = reader.read_u64(static_cast<std::uint16_t>(width));
            if (position + width <= bits) {
                ASSERT_TRUE(got.has_value()) << "position " << position << " width " << width;
                ASSERT_EQ(*got, reference_u64(octets, position, width)) << "position " << position << " width " << width;
                ASSERT_EQ(reader.position(), position + width);
            } else {
                ASSERT_FALSE(got.has_value()) << "position " << position << " width " << width;
                ASSERT_EQ(got.error().kind, ErrorKind::Parse);
                ASSERT_EQ(got.error().message(), running_out(position, width, bits));
                ASSERT_EQ(reader.position(), position);
            }
        }
    }
}

TEST_P(BitReaderLength, ReadBytesMatchesReferenceAtEveryPositionAndWidth) {
    const auto [length, kind] = GetParam();
    const auto octets = pattern(length, kind);
    const Buffer buffer(octets);
    const std::uint64_t bits = length * 8;
    for (std::uint64_t position = 0; position <= bits; ++position) {
        for (unsigned width = 0; width <= 80; ++width) {
            BitReader reader = reader_at(buffer, octets, position);
            const auto got = reader.read_bytes(static_cast<std::uint16_t>(width));
            const std::uint64_t available = bits - position;
            if (width <= available) {
                ASSERT_TRUE(got.has_value()) << "position " << position << " width " << width;
                ASSERT_EQ(*got, reference_bytes(octets, position, width));
                ASSERT_EQ(reader.position(), position + width);
                continue;
            }
            ASSERT_FALSE(got.has_value()) << "position " << position << " width " << width;
            // Whole octets are taken while 8 bits remain; the failing step reads 8 bits or the tail.
            const std::uint64_t whole = width / 8;
            const std::uint64_t stop = available < 8 * whole ? position + 8 * (available / 8) : position + 8 * whole;
            const std::uint64_t failing_width = available < 8 * whole ? 8 : width % 8;
            ASSERT_EQ(got.error().message(), running_out(stop, failing_width, bits))
                << "position " << position << " width " << width;
            ASSERT_EQ(reader.position(), stop);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, BitReaderLength,
                         testing::Combine(testing::Range<std::size_t>(0, 18), testing::Values(0, 1, 2)));

TEST(BitReader, WidthAbove64IsRefusedWithoutMoving) {
    const std::vector<std::uint8_t> octets = pseudo_random(16, 7);
    const Buffer buffer(octets);
    for (const std::uint16_t width : {65, 66, 100, 128, 65535}) {
        for (const std::uint64_t position : {0, 3, 64, 127, 128}) {
            BitReader reader = reader_at(buffer, octets, position);
            const auto got = reader.read_u64(width);
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error().kind, ErrorKind::Parse);
            EXPECT_EQ(got.error().message(), "csv/table parse error: cannot read " + std::to_string(width) + " bits into u64");
            EXPECT_EQ(reader.position(), position);
        }
    }
    BitReader empty(std::span<const std::uint8_t>{});
    EXPECT_EQ(empty.read_u64(65).error().message(), "csv/table parse error: cannot read 65 bits into u64");
}

TEST(BitReader, SequenceOfReadsOnTwoOctets) {
    const Buffer buffer({0xFF, 0x00});
    BitReader reader(buffer.span());
    EXPECT_EQ(reader.read_u64(4).value(), 15u);
    EXPECT_EQ(reader.read_u64(8).value(), 0xF0u);
    EXPECT_EQ(reader.read_u64(4).value(), 0u);
    EXPECT_EQ(reader.read_u64(0).value(), 0u);
    EXPECT_EQ(reader.read_u64(1).error().message(), running_out(16, 1, 16));
    EXPECT_EQ(reader.read_bytes(0).value(), "");
    EXPECT_EQ(reader.position(), 16u);
}

TEST(BitReader, SixtyFourBitValues) {
    const Buffer buffer({0x80, 0, 0, 0, 0, 0, 0, 1, 0xAB});
    BitReader reader(buffer.span());
    EXPECT_EQ(reader.read_u64(64).value(), (std::uint64_t{1} << 63) + 1);
    // A 64-bit read starting mid-octet spans nine octets.
    BitReader shifted(buffer.span());
    EXPECT_EQ(shifted.read_u64(4).value(), 8u);
    EXPECT_EQ(shifted.read_u64(64).value(), 0x000000000000001AULL);
    EXPECT_EQ(shifted.read_u64(4).value(), 0xBu);
}

TEST(BitReader, ReadBytes) {
    const Buffer one({0xE0});
    EXPECT_EQ(BitReader(one.span()).read_bytes(3).value(), "\xE0");
    const Buffer twelve({0xAC, 0x3F});
    EXPECT_EQ(BitReader(twelve.span()).read_bytes(12).value(), "\xAC\x30");
    const Buffer text({'B', 'U', 'F', 'R'});
    BitReader reader(text.span());
    EXPECT_EQ(reader.read_bytes(32).value(), "BUFR");
}

TEST(BitReader, ReadBytesRunningOutKeepsWholeOctets) {
    const Buffer buffer({0x12, 0x34, 0x56});
    BitReader reader(buffer.span());
    ASSERT_EQ(reader.read_u64(4).value(), 1u);
    const auto got = reader.read_bytes(24);  // 20 bits left: two octets, then 4 bits short of a third
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().message(), running_out(20, 8, 24));
    EXPECT_EQ(reader.position(), 20u);
    EXPECT_EQ(reader.read_u64(4).value(), 6u);
}

TEST(BitReader, HugeByteWidthOnShortData) {
    const Buffer buffer({1, 2, 3});
    BitReader reader(buffer.span());
    EXPECT_EQ(reader.read_bytes(65535).error().message(), running_out(24, 8, 24));
    EXPECT_EQ(reader.position(), 24u);
}

}  // namespace
}  // namespace norvane
