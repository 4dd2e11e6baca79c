#include "tables/expansion.h"

#include "descriptor/fxy.h"
#include "error/text.h"

namespace norvane {
namespace {

[[gnu::cold]] BufrError too_many_steps() {
    return parse_error(concat("sequence expansion exceeded ", kMaxExpansionSteps, " descriptors"));
}

// Counts one step; false once the bound is passed.
inline bool take_step(ExpansionState& state) { return ++state.steps <= kMaxExpansionSteps; }

}  // namespace

Status expand_into(const TableSet& tables, std::span<const std::uint32_t> descriptors,
                   std::vector<std::uint32_t>& out, ExpansionState& state, unsigned depth) {
    if (depth > kMaxExpansionDepth) [[unlikely]]
        return std::unexpected(parse_error("sequence expansion exceeded recursion depth"));
    const std::size_t count = descriptors.size();
    for (std::size_t i = 0; i < count;) {
        const std::uint32_t code = descriptors[i];
        if (!take_step(state)) [[unlikely]] return std::unexpected(too_many_steps());
        const std::uint32_t x = fxy_x(code);
        switch (fxy_f(code)) {
            case 0:
                if (state.associated_field_width != 0 && !is_class31(code)) {
                    if (!take_step(state)) [[unlikely]] return std::unexpected(too_many_steps());
                    out.push_back(kAssociatedFieldCode);
                }
                out.push_back(code);
                ++i;
                break;
            case 1: {
                if (x == 0 || i + x >= count) [[unlikely]]
                    return std::unexpected(make_error(ErrorKind::UnsupportedReplication, code));
                const std::uint8_t times = fxy_y8(code);
                if (times == 0) {
                    // Delayed: the factor descriptor and one copy of the body, no count applied.
                    if (i + x + 1 >= count) [[unlikely]]
                        return std::unexpected(make_error(ErrorKind::MissingReplicationFactor, code));
                    NV_TRY(expand_into(tables, descriptors.subspan(i + 1, x + 1), out, state, depth + 1));
                    i += x + 2;
                } else {
                    const auto body = descriptors.subspan(i + 1, x);
                    for (unsigned round = 0; round < times; ++round)
                        NV_TRY(expand_into(tables, body, out, state, depth + 1));
                    i += x + 1;
                }
                break;
            }
            case 2:
                switch (x) {
                    case 4: state.associated_field_width = fxy_y8(code); break;
                    case 1: case 2: case 6: case 7: case 8: break;
                    default: out.push_back(code);
                }
                ++i;
                break;
            case 3: {
                const SequenceDefinition* sequence = tables.sequence(code);
                if (sequence == nullptr) [[unlikely]]
                    return std::unexpected(make_error(ErrorKind::SequenceNotFound, code));
                NV_TRY(expand_into(tables, sequence->members, out, state, depth + 1));
                ++i;
                break;
            }
            default:
                return std::unexpected(invalid_descriptor(code));
        }
    }
    return {};
}

Result<std::vector<std::uint32_t>> expand_descriptors(const TableSet& tables,
                                                      std::span<const std::uint32_t> descriptors) {
    std::vector<std::uint32_t> out;
    out.reserve(descriptors.size());
    ExpansionState state;
    NV_TRY(expand_into(tables, descriptors, out, state, 0));
    return out;
}

}  // namespace norvane
