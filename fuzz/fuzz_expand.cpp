// Property: expanding any descriptor list over any Table D ends in a list or a clear error
// (never an internal one or a missing element, which expansion does not look up), within
// the step bound. The list holds only what a reader of the data meets: elements, the
// associated-field marker (only when a 2 04 operator asked for it) and the operators that
// expansion keeps; no sequence, no replication, no operator that expansion consumes.
//
// Input, in the two-octet form of section 3 (F in the top 2 bits, X in the next 6, Y in the
// last 8): one octet with the number of sequences (mod 16), then per sequence one octet with
// its number of members (mod 32), its code (F forced to 3) and the members; the rest is the
// list to expand.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "tables/expansion.h"

namespace {

using namespace norvane;

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t octet() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t descriptor() {
        const std::uint8_t hi = octet();
        return fxy_code(hi >> 6, hi & 0x3F, octet());
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

bool is_consumed_operator(std::uint32_t code) {
    const std::uint32_t x = fxy_x(code);
    return fxy_f(code) == 2 && (x == 1 || x == 2 || x == 4 || x == 6 || x == 7 || x == 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    TableSet tables;
    bool any_associated_field = false;  // a 2 04 YYY with YYY > 0 anywhere
    auto note = [&](std::uint32_t code) {
        if (fxy_f(code) == 2 && fxy_x(code) == 4 && fxy_y(code) != 0) any_associated_field = true;
    };
    for (unsigned n = input.octet() % 16; n > 0 && !input.empty(); --n) {
        const unsigned members = input.octet() % 32;
        SequenceDefinition sequence{.code = 300000 + input.descriptor() % 100000, .members = {}};
        for (unsigned k = 0; k < members && !input.empty(); ++k) sequence.members.push_back(input.descriptor());
        std::for_each(sequence.members.begin(), sequence.members.end(), note);
        tables.insert_sequence(std::move(sequence));
    }
    std::vector<std::uint32_t> descriptors;
    while (!input.empty()) descriptors.push_back(input.descriptor());
    std::for_each(descriptors.begin(), descriptors.end(), note);

    const Result<std::vector<std::uint32_t>> expanded = expand_descriptors(tables, descriptors);
    if (!expanded) {
        const ErrorKind kind = expanded.error().kind;
        FUZZ_CHECK(kind == ErrorKind::Parse || kind == ErrorKind::UnsupportedReplication ||
                   kind == ErrorKind::MissingReplicationFactor || kind == ErrorKind::SequenceNotFound);
        return 0;
    }
    FUZZ_CHECK(expanded->size() <= kMaxExpansionSteps);
    for (const std::uint32_t code : *expanded) {
        if (code == kAssociatedFieldCode) {
            FUZZ_CHECK(any_associated_field);
            continue;
        }
        const std::uint32_t f = fxy_f(code);
        FUZZ_CHECK(f == 0 || (f == 2 && !is_consumed_operator(code)));
    }
    return 0;
}
