// What the harnesses share: a check that holds in every build type, and the properties of a
// decode that hold whatever the input and the tables.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>

#include "columns/arrow_export.h"
#include "columns/long_table.h"
#include "columns/value_matrix.h"
#include "data/decoder.h"
#include "descriptor/fxy.h"
#include "error/bufr_error.h"
#include "message/message.h"
#include "tables/table_set.h"

// Stops the run with the condition's text when it does not hold (an assert that NDEBUG
// does not remove), which libFuzzer reports as a crash with the input that caused it.
#define FUZZ_CHECK(condition) \
    ((condition) ? void(0) : ::norvane::fuzz::fail(#condition, __FILE__, __LINE__))

namespace norvane::fuzz {

[[noreturn]] inline void fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

// Errors from input are any kind but Internal, which marks a broken invariant of ours.
inline void check_error(const BufrError& error) {
    if (error.kind == ErrorKind::Internal) {
        std::fprintf(stderr, "internal error: %s\n", error.message().c_str());
        fail("error.kind != ErrorKind::Internal", __FILE__, __LINE__);
    }
}

template <class T>
bool succeeded(const Result<T>& result) {
    if (!result) check_error(result.error());
    return result.has_value();
}

struct FirstMessage {
    BufrMessage message;
    std::span<const std::uint8_t> section4;
};

// The first message of `data` as the decode entry points take it: located by the split,
// then parsed; nothing when either fails.
inline std::optional<FirstMessage> first_message(std::span<const std::uint8_t> data) {
    const Result<std::vector<MessageSpan>> spans = split_messages(data);
    if (!succeeded(spans) || spans->empty()) return std::nullopt;
    const Octets octets = data.subspan(spans->front().offset, spans->front().length);
    Result<BufrMessage> message = parse_message(octets);
    if (!succeeded(message)) return std::nullopt;
    FUZZ_CHECK(message->section4_data_offset + message->section4_data_length <= octets.size());
    const auto section4 = octets.subspan(message->section4_data_offset, message->section4_data_length);
    return FirstMessage{std::move(*message), section4};
}

// Columns are built for messages of up to this many values, and values are checked one by
// one over at most kComparedRows: a few kilobytes of compressed input legitimately yield
// millions of values, which the decode reads only when visited, so checking each of them
// under the sanitizers would cost far more than the decode.
constexpr std::size_t kColumnCheckValues = std::size_t{1} << 20;
constexpr std::size_t kComparedRows = std::size_t{1} << 16;

// A builder with a key selection writes the rows of its keys and of the coordinates, in
// order, and no other: those of the whole `table` of the same message.
inline void check_selection(const DecodedMessage& decoded, const LongTable& table) {
    const KeySelection selection({"airTemperature", "operator", "stationNumber"});
    RowBatch selected;
    RowBatchBuilder builder(selected, &selection);
    builder.expect(decoded.size());
    if (!succeeded(builder.append(decoded, 7))) return;
    shrink_to_fit(selected);
    seal(selected);
    std::size_t next = 0;
    for (const RowBatch& all : table.batches()) {
        for (std::size_t row = 0; row < all.rows(); ++row) {
            const std::string_view key = table.strings().keys.at(static_cast<std::size_t>(all.key[row]));
            if (!selection.selects(key) && !KeySelection::is_coordinate(static_cast<std::uint32_t>(all.descriptor[row])))
                continue;
            FUZZ_CHECK(next < selected.rows());
            FUZZ_CHECK(selected.descriptor[next] == all.descriptor[row] && selected.subset[next] == all.subset[row]);
            FUZZ_CHECK(selected.strings.keys.at(static_cast<std::size_t>(selected.key[next])) == key);
            ++next;
        }
    }
    FUZZ_CHECK(next == selected.rows());
}

// The long table and the matrix of a decoded message agree with its records: a row per
// record with the same descriptor, raw bits and value, subsets in order; a matrix only when
// every subset has the same number of positions; the Arrow export hands out every row; a
// selection keeps its rows (for messages of up to kComparedRows values).
inline void check_columns(const DecodedMessage& decoded, std::uint16_t subsets) {
    if (decoded.size() > kColumnCheckValues) return;
    std::vector<RowBatch> batches(1);
    RowBatchBuilder builder(batches.front());
    if (!succeeded(builder.append(decoded, 7))) return;
    Result<LongTable> merged = LongTable::merge(std::move(batches));
    if (!succeeded(merged)) return;
    const auto table = std::make_shared<const LongTable>(std::move(*merged));
    FUZZ_CHECK(table->rows() == decoded.size());
    if (table->rows() != 0) {
        const RowBatch& rows = table->batches().front();
        std::size_t row = 0;
        decoded.for_each([&](const DecodedValue& value) {
            FUZZ_CHECK(rows.descriptor[row] == static_cast<std::int32_t>(value.descriptor));
            FUZZ_CHECK(rows.message[row] == 7 && rows.subset[row] >= 0 && rows.subset[row] < subsets);
            FUZZ_CHECK(row == 0 || rows.subset[row] >= rows.subset[row - 1]);
            if (value.has_raw) FUZZ_CHECK(rows.raw[row] == value.raw);
            if (value.has_raw && value.has_raw_value) FUZZ_CHECK(rows.value[row] == value.raw_value ||
                                                                 rows.value[row] != rows.value[row]);
            return ++row < kComparedRows;
        });
    }
    ArrowArrayStream stream{};
    export_long_stream(table, &stream);
    std::size_t exported = 0;
    for (ArrowArray batch{}; stream.get_next(&stream, &batch) == 0 && batch.release != nullptr;) {
        exported += static_cast<std::size_t>(batch.length);
        batch.release(&batch);
    }
    stream.release(&stream);
    FUZZ_CHECK(exported == table->rows());

    if (decoded.size() <= kComparedRows) check_selection(decoded, *table);

    const Result<ValueMatrix> matrix = value_matrix(decoded);
    if (!succeeded(matrix)) return;
    FUZZ_CHECK(matrix->subsets * matrix->positions == decoded.size());
    FUZZ_CHECK(matrix->descriptors.size() == matrix->positions && matrix->keys.size() == matrix->positions);
}

// Decodes the message and checks the result: the records visited are exactly size() (or the
// first kComparedRows of them), a message of no subsets has none, every record is an element,
// an operator marker or an associated field, and a text record carries neither a raw integer
// nor a meaning.
inline void check_decode(const FirstMessage& first, const TableSet& tables) {
    const Result<DecodedMessage> decoded = decode_message(first.message, tables, first.section4);
    if (!succeeded(decoded)) return;
    std::size_t visited = 0;
    const bool complete = decoded->for_each([&](const DecodedValue& value) {
        ++visited;
        const std::uint32_t f = fxy_f(value.descriptor);
        FUZZ_CHECK(f == 0 || f == 2 || value.descriptor == kAssociatedFieldCode);
        if (!value.has_raw) FUZZ_CHECK(value.raw_meaning == nullptr);
        if (value.has_raw_text) FUZZ_CHECK(!value.has_raw);
        return visited < kComparedRows;
    });
    FUZZ_CHECK(complete ? visited == decoded->size() : visited == kComparedRows && decoded->size() >= kComparedRows);
    if (first.message.number_of_subsets == 0) FUZZ_CHECK(visited == 0);
    check_columns(*decoded, first.message.number_of_subsets);
}

}  // namespace norvane::fuzz
