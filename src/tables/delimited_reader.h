// A reader for delimited text held in memory: the "|" files of ecCodes Table B and the
// comma-separated WMO tables.
//
// Dialect: one separator byte; a field that starts with '"' is quoted, inside which '""'
// is one '"' and separators and line ends are data (characters after the closing quote
// are kept as written); a record ends at LF, CR or CRLF; empty lines are skipped;
// optionally a record whose first byte is '#' is a comment and is skipped whole;
// optionally the first record is a header that is returned to nobody. Fields are not
// trimmed. Every record must have as many fields as the first record read (header
// included) and every data record must be valid UTF-8; a breach is a Parse error that
// names the line.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/bufr_error.h"

namespace norvane {

struct DelimitedFormat {
    char separator = ',';
    bool header = false;    // the first record is a header row, never data
    bool comments = false;  // records starting with '#' are skipped
};

class DelimitedReader {
public:
    // `data` must outlive the reader and every field view it hands out.
    DelimitedReader(std::string_view data, DelimitedFormat format) : data_(data), format_(format) {}

    // Moves to the next data record: true when there is one, false at the end of the data.
    // Field views stay valid until the next call.
    Result<bool> next();

    std::span<const std::string_view> fields() const { return fields_; }

private:
    bool read_record();  // false at the end of the data
    void read_quoted_field();
    bool at_record_end() const;

    std::string_view data_;
    DelimitedFormat format_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;         // line at which the next record starts
    std::size_t record_line_ = 1;  // line at which the current record started
    std::size_t record_start_ = 0;
    std::size_t expected_fields_ = 0;
    bool first_record_ = true;
    std::vector<std::string_view> fields_;
    // Unescaped text of quoted fields holding '""' or text after their closing quote;
    // such fields are recorded as offsets here and turned into views once the record ends.
    std::string scratch_;
    std::vector<std::size_t> scratch_fields_;  // field index, offset, length triples
};

}  // namespace norvane
