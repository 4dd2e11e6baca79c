#include "tables/delimited_reader.h"

#include <cstring>

#include "error/text.h"
#include "fs/files.h"

namespace norvane {
namespace {

bool is_ascii(std::string_view text) {
    const char* p = text.data();
    std::size_t n = text.size();
    std::uint64_t bits = 0;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        bits |= word;
    }
    for (; n > 0; ++p, --n) bits |= static_cast<unsigned char>(*p);
    return (bits & 0x8080808080808080ull) == 0;
}

}  // namespace

Result<bool> DelimitedReader::next() {
    for (;;) {
        if (!read_record()) return false;
        if (first_record_) {
            first_record_ = false;
            expected_fields_ = fields_.size();
            if (format_.header) continue;
        } else if (fields_.size() != expected_fields_) [[unlikely]] {
            return std::unexpected(parse_error(concat("line ", record_line_, ": found record with ",
                                                      fields_.size(), " fields, but the first record has ",
                                                      expected_fields_, " fields")));
        }
        // Separators, quotes and line ends are ASCII, so the record's raw octets are valid
        // UTF-8 exactly when every field is.
        const std::string_view raw = data_.substr(record_start_, pos_ - record_start_);
        if (!is_ascii(raw) && !fs::is_valid_utf8(raw)) [[unlikely]]
            return std::unexpected(parse_error(concat("line ", record_line_, ": record is not valid UTF-8")));
        return true;
    }
}

bool DelimitedReader::at_record_end() const {
    if (pos_ >= data_.size()) return true;
    const char c = data_[pos_];
    return c == '\r' || c == '\n';
}

bool DelimitedReader::read_record() {
    const std::size_t size = data_.size();
    // Skip empty lines and comment records.
    for (;;) {
        while (pos_ < size && (data_[pos_] == '\r' || data_[pos_] == '\n')) {
            if (data_[pos_] == '\n' || pos_ + 1 == size || data_[pos_ + 1] != '\n') ++line_;
            ++pos_;
        }
        if (pos_ == size) return false;
        if (!format_.comments || data_[pos_] != '#') break;
        while (pos_ < size && data_[pos_] != '\r' && data_[pos_] != '\n') ++pos_;
    }
    record_line_ = line_;
    record_start_ = pos_;
    fields_.clear();
    scratch_.clear();
    scratch_fields_.clear();
    const char separator = format_.separator;
    for (;;) {
        if (pos_ < size && data_[pos_] == '"') {
            read_quoted_field();
        } else {
            const std::size_t start = pos_;
            while (pos_ < size) {
                const char c = data_[pos_];
                if (c == separator || c == '\r' || c == '\n') break;
                ++pos_;
            }
            fields_.push_back(data_.substr(start, pos_ - start));
        }
        if (pos_ < size && data_[pos_] == separator) {
            ++pos_;
            continue;
        }
        break;
    }
    // The views into scratch_ are made only now: appending may have moved its buffer.
    for (std::size_t k = 0; k < scratch_fields_.size(); k += 3)
        fields_[scratch_fields_[k]] = std::string_view(scratch_).substr(scratch_fields_[k + 1], scratch_fields_[k + 2]);
    // The line end stays unread: the next call skips it with any empty lines after it.
    return true;
}

void DelimitedReader::read_quoted_field() {
    const std::size_t size = data_.size();
    ++pos_;  // the opening quote
    std::size_t segment = pos_;
    const std::size_t offset = scratch_.size();
    bool copied = false;
    auto count_lines = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            if (data_[i] == '\n' || (data_[i] == '\r' && (i + 1 == size || data_[i + 1] != '\n'))) ++line_;
    };
    for (;;) {
        const std::size_t quote = data_.find('"', pos_);
        if (quote == std::string_view::npos) {  // unterminated: the field runs to the end
            count_lines(pos_, size);
            pos_ = size;
            if (!copied) {
                fields_.push_back(data_.substr(segment));
                return;
            }
            scratch_.append(data_.substr(segment));
            break;
        }
        count_lines(pos_, quote);
        if (quote + 1 < size && data_[quote + 1] == '"') {  // '""' stands for one '"'
            scratch_.append(data_.substr(segment, quote + 1 - segment));
            copied = true;
            pos_ = quote + 2;
            segment = pos_;
            continue;
        }
        pos_ = quote + 1;
        const std::size_t tail = pos_;
        while (!at_record_end() && data_[pos_] != format_.separator) ++pos_;
        if (!copied && tail == pos_) {
            fields_.push_back(data_.substr(segment, quote - segment));
            return;
        }
        scratch_.append(data_.substr(segment, quote - segment));
        scratch_.append(data_.substr(tail, pos_ - tail));
        break;
    }
    scratch_fields_.push_back(fields_.size());
    scratch_fields_.push_back(offset);
    scratch_fields_.push_back(scratch_.size() - offset);
    fields_.emplace_back();
}

}  // namespace norvane
