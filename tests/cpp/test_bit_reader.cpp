// BitReader against a bit-by-bit reference: every width at every position of buffers of
// every length up to 17 octets, so reads that straddle octets, fill the 64-bit window or end
// exactly at the last bit are all covered. Buffers are heap blocks of their exact size, so a
// read past the end shows up under AddressSanitizer.
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

std::string running_out(std::uint64_t position, std::uint64_t width, std::uint64_t bits) {
    return "csv/table parse error: not enough bits while reading section 4 at bit " + std::to_string(position) +
           " for width " + std::to_string(width) + " (" + std::to_string(bits) + " bits available)";
}

// Bits [position, position + width) taken one at a time, left-aligned in whole octets.
std::string reference(const std::vector<std::uint8_t>& data, std::uint64_t position, unsigned width) {
    std::string out((width + 7) / 8, '\0');
    for (unsigned k = 0; k < width; ++k) {
        if ((data[(position + k) / 8] >> (7 - (position + k) % 8)) & 1) out[k / 8] |= static_cast<char>(0x80 >> (k % 8));
    }
    return out;
}

std::uint64_t reference_u64(const std::vector<std::uint8_t>& data, std::uint64_t position, unsigned width) {
    std::uint64_t value = 0;
    for (const char c : reference(data, position, width)) value = (value << 8) | static_cast<std::uint8_t>(c);
    return value >> (8 * ((width + 7) / 8) - width);
}

// Buffers of `length` octets: pseudo-random (kind 0), all ones (1) or all zeros (2).
class BitReaderExhaustive : public testing::TestWithParam<std::tuple<std::size_t, int>> {};

TEST_P(BitReaderExhaustive, MatchesTheReferenceAtEveryPositionAndWidth) {
    const auto [length, kind] = GetParam();
    std::vector<std::uint8_t> octets(length, kind == 1 ? 0xFF : 0x00);
    std::uint64_t seed = length + 1;
    for (auto& octet : octets) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        if (kind == 0) octet = static_cast<std::uint8_t>(seed >> 56);
    }
    const std::unique_ptr<std::uint8_t[]> heap(new std::uint8_t[length]);
    std::copy(octets.begin(), octets.end(), heap.get());
    const std::span<const std::uint8_t> data(heap.get(), length);
    const std::uint64_t bits = length * 8;
    for (std::uint64_t position = 0; position <= bits; ++position) {
        for (std::uint16_t width = 0; width <= 80; ++width) {
            SCOPED_TRACE(testing::Message() << "position " << position << " width " << width);
            BitReader u64_reader(data), bytes_reader(data);
            for (BitReader* r : {&u64_reader, &bytes_reader}) {  // moved there by checked reads
                while (r->position() < position) {
                    const auto step = static_cast<std::uint16_t>(std::min<std::uint64_t>(57, position - r->position()));
                    const std::uint64_t from = r->position();
                    ASSERT_EQ(r->read_u64(step).value(), reference_u64(octets, from, step));
                }
            }
            const auto u64 = u64_reader.read_u64(width);
            const auto bytes = bytes_reader.read_bytes(width);
            const std::uint64_t available = bits - position;
            if (width <= 64 && width <= available) {
                ASSERT_EQ(u64.value(), reference_u64(octets, position, width));
                ASSERT_EQ(u64_reader.position(), position + width);
            } else {
                ASSERT_FALSE(u64.has_value());
                ASSERT_EQ(u64.error().message(), width > 64 ? "csv/table parse error: cannot read " +
                                                                  std::to_string(width) + " bits into u64"
                                                            : running_out(position, width, bits));
                ASSERT_EQ(u64_reader.position(), position);
            }
            if (width <= available) {
                ASSERT_EQ(bytes.value(), reference(octets, position, width));
                ASSERT_EQ(bytes_reader.position(), position + width);
            } else {
                // Whole octets are taken while 8 bits remain; the failing step reads 8 bits or the tail.
                ASSERT_FALSE(bytes.has_value());
                const bool short_of_octets = available < 8u * (width / 8);
                const std::uint64_t stop = position + 8 * (short_of_octets ? available / 8 : width / 8);
                ASSERT_EQ(bytes.error().message(), running_out(stop, short_of_octets ? 8 : width % 8, bits));
                ASSERT_EQ(bytes_reader.position(), stop);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, BitReaderExhaustive,
                         testing::Combine(testing::Range<std::size_t>(0, 18), testing::Values(0, 1, 2)));

TEST(BitReader, HugeWidthsOnShortData) {
    const std::uint8_t octets[] = {1, 2, 3};
    BitReader reader{std::span<const std::uint8_t>(octets)};
    EXPECT_EQ(reader.read_u64(65535).error().message(), "csv/table parse error: cannot read 65535 bits into u64");
    EXPECT_EQ(reader.read_bytes(65535).error().message(), running_out(24, 8, 24));
    EXPECT_EQ(reader.position(), 24u);
}

}  // namespace
}  // namespace norvane
