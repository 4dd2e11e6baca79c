#include "data/decode_budget.h"

#include "error/text.h"

namespace norvane {

BufrError DecodeBudget::steps_exceeded() const {
    return parse_error(concat("data section decode exceeded its limit of ", max_steps_,
                              " descriptor steps for ", bits_, " bits of section 4"));
}

BufrError DecodeBudget::records_exceeded() const {
    return parse_error(concat("data section decode exceeded its limit of ", max_records_,
                              " values for ", bits_, " bits of section 4"));
}

}  // namespace norvane
