// The text layer under every table loader: the delimited-record reader (Table B, WMO CSV),
// the decimal field parsers, and the bounds on work and memory of the text readers.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tables/delimited_reader.h"
#include "tables/eccodes_loader.h"
#include "tables/field_parsers.h"

namespace norvane {
namespace {

constexpr DelimitedFormat kPipe{.separator = '|', .header = false, .comments = true};
constexpr DelimitedFormat kCsv{.separator = ',', .header = true, .comments = false};

// Every data record as its fields joined by "/", then "!<error>" if reading failed.
std::vector<std::string> read_all(std::string_view data, DelimitedFormat format) {
    DelimitedReader reader(data, format);
    std::vector<std::string> records;
    for (;;) {
        const Result<bool> more = reader.next();
        if (!more) records.push_back("!" + more.error().text);
        if (!more || !*more) return records;
        std::string record;
        for (const std::string_view field : reader.fields()) record.append(field).append("/");
        records.push_back(record);
    }
}

using ReaderCase = std::tuple<const char*, DelimitedFormat, std::string, std::vector<std::string>>;

class DelimitedReaderTest : public testing::TestWithParam<ReaderCase> {};

TEST_P(DelimitedReaderTest, Records) {
    const auto& [name, format, data, expected] = GetParam();
    EXPECT_EQ(read_all(data, format), expected);
}

const ReaderCase kReaderCases[] = {
    {"CommentsEmptyLinesAndLineEnds", kPipe, "\n#h|x\n\n1|a\r\n#x\r\r2|b\r", {"1/a/", "2/b/"}},
    {"CommentOnlyAtRecordStart", kPipe, "1|#a\n", {"1/#a/"}},
    {"NoCommentsInCsv", kCsv, "h1,h2\n#a,b\n", {"#a/b/"}},
    {"FieldsNotTrimmedQuoteInsideIsData", kPipe, " 1 |a\"b|\t\n", {" 1 /a\"b/\t/"}},
    {"Quoted", kPipe, "\"1|2\"|\"a\"\"b\"|\"\"\n", {"1|2/a\"b//"}},
    {"QuotedLineEnds", kPipe, "\"a\r\nb\"|c\nd|e\n", {"a\r\nb/c/", "d/e/"}},
    {"TextAfterClosingQuoteKept", kPipe, "\"ab\"cd\"e|x\n", {"abcd\"e/x/"}},
    {"UnterminatedQuoteRunsToEnd", kPipe, "\"a|b\nc", {"a|b\nc/"}},
    {"HeaderSetsTheCount", kCsv, "a,b,c\n1,2,3\n1,2\n",
     {"1/2/3/", "!line 3: found record with 2 fields, but the first record has 3 fields"}},
    {"HeaderIsNotValidated", kCsv, "\xFF,b\n1,2\n", {"1/2/"}},
    {"LinesCountSkippedAndQuotedBreaks", kPipe, "#c\n\n\"x\ny\"|1\r\n\r\n1|2|3\n",
     {"x\ny/1/", "!line 6: found record with 3 fields, but the first record has 2 fields"}},
    {"InvalidUtf8Rejected", kPipe, "\xC3\xA9|\xE2\x82\xAC\n\"\xED\xA0\x80\"|x\n",
     {"\xC3\xA9/\xE2\x82\xAC/", "!line 2: record is not valid UTF-8"}},
    {"InvalidUtf8InCommentIgnored", kPipe, "#\xFF\n1\n", {"1/"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, DelimitedReaderTest, testing::ValuesIn(kReaderCases),
                         [](const auto& info) { return std::string(std::get<0>(info.param)); });

TEST(DelimitedReader, FieldViewsSurviveScratchGrowth) {
    // Many escaped fields in one record make the unescaping buffer reallocate.
    std::string data, expected;
    for (int i = 0; i < 200; ++i) {
        const std::string n = std::to_string(i);
        data.append(i > 0 ? "|\"f" : "\"f").append(n).append("\"\"\"");
        expected.append("f").append(n).append("\"/");
    }
    EXPECT_EQ(read_all(data, kPipe), std::vector<std::string>{expected});
}

// "=<value>" or "!<error text without the Parse prefix>", so one table covers both.
template <auto parse>
std::string outcome(std::string_view input) {
    const auto r = parse(input);
    return r ? "=" + std::to_string(*r) : "!" + r.error().message().substr(sizeof "csv/table parse error: " - 1);
}

constexpr auto kCode = outcome<parse_code>, kI32 = outcome<parse_i32>, kI64 = outcome<parse_i64>,
               kU16 = outcome<parse_u16>, kKey = outcome<parse_code_table_key>;
using FieldCase = std::tuple<std::string (*)(std::string_view), std::string, std::string>;

class FieldParserTest : public testing::TestWithParam<FieldCase> {};

TEST_P(FieldParserTest, ValueOrExactMessage) {
    const auto& [parse, input, expected] = GetParam();
    EXPECT_EQ(parse(input), expected) << input;
}

#define DIGIT ": invalid digit found in string"
#define EMPTY ": cannot parse integer from empty string"
#define LARGE ": number too large to fit in target type"

const FieldCase kFieldCases[] = {
    // Codes: whitespace trimmed, then every leading and trailing quote; the text is shown as given.
    {kCode, "+001001", "=1001"},
    {kCode, "\xC2\xA0\xE3\x80\x80 \"\"001001\"\xE2\x80\xAF\r\n", "=1001"},
    {kCode, "4294967296", "!bad descriptor code \"4294967296\"" LARGE},
    {kCode, "\"\"", "!bad descriptor code \"\\\"\\\"\"" EMPTY},
    {kCode, "-1", "!bad descriptor code \"-1\"" DIGIT},
    {kCode, "\" 001001 \"", "!bad descriptor code \"\\\" 001001 \\\"\"" DIGIT},
    {kCode, "\xE2\x80\x8B" "1", "!bad descriptor code \"\\u{200b}1\"" DIGIT},  // U+200B is no space
    {kCode, "99999999999x", "!bad descriptor code \"99999999999x\"" LARGE},  // first problem wins
    {kCode, "9x9999999999", "!bad descriptor code \"9x9999999999\"" DIGIT},
    // Table B columns: no trimming, a sign only where the target has one.
    {kI32, "-2147483648", "=-2147483648"},
    {kI32, "-2147483649", "!bad i32 \"-2147483649\": number too small to fit in target type"},
    {kI32, "2147483648", "!bad i32 \"2147483648\"" LARGE},
    {kI32, " 0", "!bad i32 \" 0\"" DIGIT},
    {kI64, "9223372036854775808", "!bad i64 \"9223372036854775808\"" LARGE},
    {kI64, "", "!bad i64 \"\"" EMPTY},
    {kU16, "65536", "!bad u16 \"65536\"" LARGE},
    {kU16, "-0", "!bad u16 \"-0\"" DIGIT},
    {kKey, "18446744073709551615", "=18446744073709551615"},
    {kKey, "18446744073709551616", "!bad code table key \"18446744073709551616\"" LARGE},
    {kKey, "0x1F", "!bad code table key \"0x1F\"" DIGIT},
};

INSTANTIATE_TEST_SUITE_P(Table, FieldParserTest, testing::ValuesIn(kFieldCases));

// A statement that never closes is read once, not once per line: a reader that searches the
// joined text again on every line needs minutes for these 12 MB even in an optimised build,
// which the test timeout catches; no clock is read here.
TEST(TableTextBounds, OpenStatementIsScannedOnce) {
    std::string text = "\"301001\" = [ 001001,\n";
    for (int i = 0; i < 4'000'000; ++i) text += "2,\n";
    TableSet tables;
    ASSERT_TRUE(load_eccodes_sequence_text(tables, text));
    EXPECT_EQ(tables.sequence_count(), 0u);  // still open at the end: dropped
    text += "]";
    ASSERT_TRUE(load_eccodes_sequence_text(tables, text));
    EXPECT_EQ(tables.sequence(301001)->members.size(), 4'000'001u);
}

// Room in a code table follows the entries read, not the lines of the file.
TEST(TableTextBounds, CodeTableRoomFollowsEntries) {
    const Result<CodeTable> blank = parse_eccodes_code_table(std::string(std::size_t{1} << 22, '\n'));
    ASSERT_TRUE(blank);
    EXPECT_EQ(blank->size(), 0u);
    EXPECT_LE(blank->capacity(), 64u);
    std::string text;
    for (int i = 0; i < 1000; ++i) text += std::to_string(i) + " x meaning\n" + std::string(100, '\n');
    const Result<CodeTable> sparse = parse_eccodes_code_table(text);
    ASSERT_TRUE(sparse);
    EXPECT_EQ(sparse->size(), 1000u);
    EXPECT_LE(sparse->capacity(), 4096u);
}

}  // namespace
}  // namespace norvane
