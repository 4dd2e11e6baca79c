#include "columns/value_matrix.h"

#include <algorithm>
#include <limits>

#include "columns/element_key.h"
#include "data/element_reader.h"

namespace norvane {
namespace {

constexpr double kNull = std::numeric_limits<double>::quiet_NaN();

std::string key_of(const ElementDefinition* element, std::string_view constant) {
    return element != nullptr ? element_key(*element) : std::string(constant);
}

Result<ValueMatrix> from_columns(const ColumnList& list) {
    ValueMatrix matrix;
    matrix.subsets = list.subsets;
    matrix.positions = list.columns.size();
    for (const Column& column : list.columns) {
        matrix.descriptors.push_back(column.descriptor);
        matrix.keys.push_back(key_of(column.element, constant_key(column)));
    }
    const std::size_t positions = matrix.positions;
    matrix.values.reserve(matrix.subsets * positions);
    double* values = matrix.values.data();
    // A column's values lie together in section 4, a subset's in a row of the matrix: both are
    // walked a tile of subsets at a time, so the rows being written stay in cache.
    constexpr std::size_t kTile = 64;
    for (std::size_t first = 0; first < list.subsets; first += kTile) {
        const std::size_t last = std::min<std::size_t>(list.subsets, first + kTile);
        for (std::size_t c = 0; c < positions; ++c) {
            const Column& column = list.columns[c];
            double* cell = values + first * positions + c;
            if (column.text) {
                for (std::size_t s = first; s < last; ++s, cell += positions) *cell = kNull;
            } else if (column.constant) {
                const BlockValue value = list.constant_cells[column.first];
                const double scaled = value.missing ? kNull : scaled_value(value.raw, column.reference, column.scale);
                for (std::size_t s = first; s < last; ++s, cell += positions) *cell = scaled;
            } else {
                const NumericBlock& block = list.blocks[column.first];
                for (std::size_t s = first; s < last; ++s, cell += positions) {
                    const BlockValue value = block.at(list.bits, s);
                    *cell = value.missing ? kNull : scaled_value(value.raw, column.reference, column.scale);
                }
            }
        }
    }
    matrix.values.commit(matrix.subsets * positions);
    return matrix;
}

Result<ValueMatrix> from_records(const RecordList& list) {
    ValueMatrix matrix;
    const std::vector<std::uint64_t>& ends = list.subset_ends;
    matrix.subsets = ends.size();
    matrix.positions = ends.empty() ? 0 : ends.front();
    for (std::size_t s = 0; s < ends.size(); ++s) {
        if (ends[s] != (s + 1) * matrix.positions)
            return std::unexpected(parse_error("the subsets of this message differ in their descriptors"));
    }
    matrix.values.reserve(list.size());
    std::vector<const FlatRecord*> first;  // subset 0's records, for comparing the others
    first.reserve(matrix.positions);
    std::uint64_t row = 0;
    for (const std::vector<FlatRecord>& block : list.records.blocks()) {
        for (const FlatRecord& record : block) {
            const std::size_t position = static_cast<std::size_t>(row % matrix.positions);  // rows exist: positions > 0
            if (row < matrix.positions) {
                first.push_back(&record);
            } else if (first[position]->descriptor != record.descriptor) {
                return std::unexpected(parse_error("the subsets of this message differ in their descriptors"));
            }
            const bool absent = (record.flags & (FlatRecord::kMissing | FlatRecord::kText)) != 0;
            matrix.values.push(absent ? kNull : record.raw_value);
            ++row;
        }
    }
    for (const FlatRecord* record : first) {
        matrix.descriptors.push_back(record->descriptor);
        matrix.keys.push_back(key_of(record->kind == FlatRecord::Kind::Element ? record->element : nullptr,
                                     constant_key(*record)));
    }
    return matrix;
}

}  // namespace

Result<ValueMatrix> value_matrix(const DecodedMessage& message) {
    if (const RecordList* records = message.records()) return from_records(*records);
    return from_columns(*message.columns());
}

}  // namespace norvane
