#include "data/decode_budget.h"

#include "error/text.h"

namespace norvane {

BufrError DecodeBudget::steps_exceeded() const {
    const std::uint64_t bits = reader_.position();
    return parse_error(concat("data section decode exceeded its limit of ", kStepBase + kStepsPerBit * bits,
                              " descriptor steps for ", bits, " bits of section 4 read"));
}

BufrError DecodeBudget::values_exceeded() const {
    const std::uint64_t bits = reader_.position();
    return parse_error(concat("data section decode exceeded its limit of ", kValueBase + kValuesPerBit * bits,
                              " values for ", bits, " bits of section 4 read"));
}

}  // namespace norvane
