// The delimited-text reader behind Table B and the WMO CSV files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tables/delimited_reader.h"

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

struct ReaderCase {
    const char* name;
    DelimitedFormat format;
    std::string data;
    std::vector<std::string> expected;
};

class DelimitedReaderTest : public testing::TestWithParam<ReaderCase> {};

TEST_P(DelimitedReaderTest, Records) { EXPECT_EQ(read_all(GetParam().data, GetParam().format), GetParam().expected); }

const ReaderCase kReaderCases[] = {
    {"OnlyLineEnds", kPipe, "\n\r\n\r", {}},
    {"CommentsEmptyLinesAndLineEnds", kPipe, "#h|x\n\n1|a\r\n#x\r\r2|b", {"1/a/", "2/b/"}},
    {"CommentOnlyAtRecordStart", kPipe, "1|#a\n", {"1/#a/"}},
    {"NoCommentsInCsv", kCsv, "h1,h2\n#a,b\n", {"#a/b/"}},
    {"FieldsNotTrimmed", kPipe, " 1 ||\t\n", {" 1 //\t/"}},
    {"Quoted", kPipe, "\"1|2\"|\"a\"\"b\"|\"\"\n", {"1|2/a\"b//"}},
    {"QuotedLineEnds", kPipe, "\"a\r\nb\"|c\nd|e\n", {"a\r\nb/c/", "d/e/"}},
    {"TextAfterClosingQuoteKept", kPipe, "\"ab\"cd\"e|x\n", {"abcd\"e/x/"}},
    {"QuoteInsideFieldIsData", kPipe, "a\"b|c\n", {"a\"b/c/"}},
    {"UnterminatedQuoteRunsToEnd", kPipe, "\"a|b\nc", {"a|b\nc/"}},
    {"HeaderSetsTheCount", kCsv, "a,b,c\n1,2,3\n1,2\n",
     {"1/2/3/", "!line 3: found record with 2 fields, but the first record has 3 fields"}},
    {"HeaderIsNotValidated", kCsv, "\xFF,b\n1,2\n", {"1/2/"}},
    {"LinesCountSkippedAndQuotedBreaks", kPipe, "#c\n\n\"x\ny\"|1\r\n\r\n1|2|3\n",
     {"x\ny/1/", "!line 6: found record with 3 fields, but the first record has 2 fields"}},
    {"Utf8Accepted", kPipe, "\xC3\xA9|\xE2\x82\xAC\n", {"\xC3\xA9/\xE2\x82\xAC/"}},
    {"InvalidUtf8Rejected", kPipe, "a\n\"\xED\xA0\x80\"\n", {"a/", "!line 2: record is not valid UTF-8"}},
    {"InvalidUtf8InCommentIgnored", kPipe, "#\xFF\n1\n", {"1/"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, DelimitedReaderTest, testing::ValuesIn(kReaderCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DelimitedReader, FieldViewsSurviveScratchGrowth) {
    // Many escaped fields in one record make the unescaping buffer reallocate.
    std::string data, expected;
    for (int i = 0; i < 200; ++i) {
        data += (i > 0 ? "|\"f" : "\"f") + std::to_string(i) + "\"\"\"";
        expected += "f" + std::to_string(i) + "\"/";
    }
    EXPECT_EQ(read_all(data, kPipe), std::vector<std::string>{expected});
}

}  // namespace
}  // namespace norvane
