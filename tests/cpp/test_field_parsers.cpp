// The decimal grammar shared by every table loader.
#include <gtest/gtest.h>

#include <string>

#include "tables/field_parsers.h"

namespace norvane {
namespace {

enum class Parser { Code, I32, I64, U16, Key };

// "=<value>" or "!<error text without the Parse prefix>", so one table covers both.
std::string outcome(Parser parser, std::string_view input) {
    auto show = [](const auto& r) {
        return r ? "=" + std::to_string(*r) : "!" + r.error().message().substr(sizeof "csv/table parse error: " - 1);
    };
    switch (parser) {
        case Parser::Code: return show(parse_code(input));
        case Parser::I32: return show(parse_i32(input));
        case Parser::I64: return show(parse_i64(input));
        case Parser::U16: return show(parse_u16(input));
        case Parser::Key: return show(parse_code_table_key(input));
    }
    return {};
}

struct FieldCase {
    Parser parser;
    std::string input;
    std::string expected;
};

class FieldParserTest : public testing::TestWithParam<FieldCase> {};

TEST_P(FieldParserTest, ValueOrExactMessage) {
    EXPECT_EQ(outcome(GetParam().parser, GetParam().input), GetParam().expected) << GetParam().input;
}

#define DIGIT ": invalid digit found in string"
#define EMPTY ": cannot parse integer from empty string"
#define LARGE ": number too large to fit in target type"
#define SMALL ": number too small to fit in target type"

const FieldCase kFieldCases[] = {
    // Codes: whitespace trimmed, then every leading and trailing quote; the text is shown as given.
    {Parser::Code, "001001", "=1001"},
    {Parser::Code, "+1001", "=1001"},
    {Parser::Code, "\"301011\"", "=301011"},
    {Parser::Code, "\xC2\xA0\xE3\x80\x80 \"\"001001\"\xE2\x80\xAF\r\n", "=1001"},
    {Parser::Code, "4294967295", "=4294967295"},
    {Parser::Code, "0010x1", "!bad descriptor code \"0010x1\"" DIGIT},
    {Parser::Code, "\"\"", "!bad descriptor code \"\\\"\\\"\"" EMPTY},
    {Parser::Code, "  ", "!bad descriptor code \"  \"" EMPTY},
    {Parser::Code, "-1", "!bad descriptor code \"-1\"" DIGIT},
    {Parser::Code, "+", "!bad descriptor code \"+\"" DIGIT},
    {Parser::Code, "4294967296", "!bad descriptor code \"4294967296\"" LARGE},
    {Parser::Code, "\" 001001 \"", "!bad descriptor code \"\\\" 001001 \\\"\"" DIGIT},
    {Parser::Code, "\xE2\x80\x8B" "1", "!bad descriptor code \"\\u{200b}1\"" DIGIT},  // U+200B is no space
    {Parser::Code, "99999999999x", "!bad descriptor code \"99999999999x\"" LARGE},  // first problem wins
    {Parser::Code, "9x9999999999", "!bad descriptor code \"9x9999999999\"" DIGIT},
    // Table B columns: no trimming, a sign only where the target has one.
    {Parser::I32, "-2147483648", "=-2147483648"},
    {Parser::I32, "-2147483649", "!bad i32 \"-2147483649\"" SMALL},
    {Parser::I32, "2147483648", "!bad i32 \"2147483648\"" LARGE},
    {Parser::I32, " 0", "!bad i32 \" 0\"" DIGIT},
    {Parser::I32, "-", "!bad i32 \"-\"" DIGIT},
    {Parser::I32, "+-1", "!bad i32 \"+-1\"" DIGIT},
    {Parser::I64, "-9223372036854775808", "=-9223372036854775808"},
    {Parser::I64, "9223372036854775808", "!bad i64 \"9223372036854775808\"" LARGE},
    {Parser::I64, "", "!bad i64 \"\"" EMPTY},
    {Parser::U16, "+8", "=8"},
    {Parser::U16, "65536", "!bad u16 \"65536\"" LARGE},
    {Parser::U16, "8 ", "!bad u16 \"8 \"" DIGIT},
    {Parser::U16, "-0", "!bad u16 \"-0\"" DIGIT},
    {Parser::Key, "07", "=7"},
    {Parser::Key, "18446744073709551615", "=18446744073709551615"},
    {Parser::Key, "18446744073709551616", "!bad code table key \"18446744073709551616\"" LARGE},
    {Parser::Key, "0x1F", "!bad code table key \"0x1F\"" DIGIT},
};

INSTANTIATE_TEST_SUITE_P(Table, FieldParserTest, testing::ValuesIn(kFieldCases));

}  // namespace
}  // namespace norvane
