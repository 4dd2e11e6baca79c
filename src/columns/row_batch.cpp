#include "columns/row_batch.h"

#include <algorithm>
#include <array>
#include <limits>

#include "columns/element_key.h"
#include "data/element_reader.h"

namespace norvane {
namespace {

constexpr double kNull = std::numeric_limits<double>::quiet_NaN();

constexpr auto kBitsSet = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) table[i] = static_cast<std::uint8_t>((i & 1) + table[i / 2]);
    return table;
}();

}  // namespace

RowBatchBuilder::RowBatchBuilder(RowBatch& batch) : batch_(batch) {}

Status RowBatchBuilder::append(const DecodedMessage& message, std::int32_t message_index) {
    if (const RecordList* records = message.records()) return append_records(*records, message_index);
    return append_columns(*message.columns(), message_index);
}

void RowBatchBuilder::reserve(std::size_t rows) {
    const std::size_t total = batch_.rows() + rows;
    for (auto* column : {&batch_.message, &batch_.subset, &batch_.descriptor, &batch_.key, &batch_.unit,
                         &batch_.text, &batch_.meaning})
        column->reserve(total);
    batch_.value.reserve(total);
    batch_.raw.reserve(total);
    batch_.flags.reserve(total);
}

[[gnu::always_inline]] inline void RowBatchBuilder::push_number(std::int32_t message, std::int32_t subset, std::uint32_t descriptor, Names names,
                                  bool missing, double value, std::uint64_t raw, std::int32_t meaning) {
    batch_.message.push(message);
    batch_.subset.push(subset);
    batch_.descriptor.push(static_cast<std::int32_t>(descriptor));
    batch_.key.push(names.key);
    batch_.unit.push(names.unit);
    batch_.value.push(missing ? kNull : value);
    batch_.raw.push(raw);
    batch_.flags.push(missing ? RowBatch::kRawPresent : RowBatch::kRawPresent | RowBatch::kValuePresent);
    batch_.text.push(kNullString);
    batch_.meaning.push(meaning);
}

[[gnu::always_inline]] inline void RowBatchBuilder::push_text(std::int32_t message, std::int32_t subset, std::uint32_t descriptor, Names names,
                                std::int32_t text) {
    batch_.message.push(message);
    batch_.subset.push(subset);
    batch_.descriptor.push(static_cast<std::int32_t>(descriptor));
    batch_.key.push(names.key);
    batch_.unit.push(names.unit);
    batch_.value.push(kNull);
    batch_.raw.push(0);
    batch_.flags.push(0);
    batch_.text.push(text);
    batch_.meaning.push(kNullString);
}

// Elements get their key and unit; the records that are not elements (markers, associated
// fields, 2 05 YYY texts) their constant name as key and no unit.
Result<RowBatchBuilder::Names> RowBatchBuilder::names_of(const ElementDefinition* element,
                                                         std::string_view constant_key) {
    const auto address = reinterpret_cast<std::uint64_t>(element != nullptr ? static_cast<const void*>(element)
                                                                             : constant_key.data());
    NameSlot& slot = recent_names_[(address >> 4) % kRecentNames];
    if (slot.address == address) [[likely]]
        return slot.names;
    if (const Names* known = element_names_.find(address)) {
        slot = {address, *known};
        return *known;
    }
    Names names;
    if (element != nullptr) {
        NV_ASSIGN(names.key, batch_.strings.keys.index_of(element_key(*element)));
        NV_ASSIGN(names.unit, batch_.strings.units.index_of(element->unit));
    } else {
        NV_ASSIGN(names.key, batch_.strings.keys.index_of(constant_key));
    }
    element_names_.insert_or_assign(address, names);
    slot = {address, names};
    return names;
}

Result<std::int32_t> RowBatchBuilder::meaning_index(const std::string* meaning) {
    if (meaning == nullptr) return kNullString;
    const auto address = reinterpret_cast<std::uint64_t>(meaning);
    if (const std::int32_t* known = meanings_.find(address)) [[likely]]
        return *known;
    NV_ASSIGN(const std::int32_t index, batch_.strings.meanings.index_of(*meaning));
    meanings_.insert_or_assign(address, index);
    return index;
}

Status RowBatchBuilder::append_records(const RecordList& list, std::int32_t message_index) {
    reserve(list.size());
    const std::vector<std::uint64_t>& ends = list.subset_ends;
    std::size_t subset = 0;
    std::uint64_t row = 0;
    for (const std::vector<FlatRecord>& block : list.records.blocks()) {
        for (const FlatRecord& record : block) {
            while (subset < ends.size() && row == ends[subset]) ++subset;  // subsets without records
            ++row;
            Names names;
            switch (record.kind) {
                case FlatRecord::Kind::Element: {
                    NV_ASSIGN(names, names_of(record.element, {}));
                    break;
                }
                case FlatRecord::Kind::AssociatedField: {
                    NV_ASSIGN(names, names_of(nullptr, kAssociatedFieldName));
                    break;
                }
                case FlatRecord::Kind::Marker: {
                    NV_ASSIGN(names, names_of(nullptr, kOperatorName));
                    break;
                }
                case FlatRecord::Kind::CharacterData: {
                    NV_ASSIGN(names, names_of(nullptr, kCharacterDataName));
                    break;
                }
            }
            const auto s = static_cast<std::int32_t>(subset);
            if (record.flags & FlatRecord::kText) [[unlikely]] {
                std::int32_t text = kNullString;
                if ((record.flags & FlatRecord::kAbsentText) == 0) {
                    NV_ASSIGN(text, batch_.strings.texts.index_of(list.texts.view(
                                        {static_cast<std::uint32_t>(record.raw), record.text_length, true})));
                }
                push_text(message_index, s, record.descriptor, names, text);
                continue;
            }
            std::int32_t meaning = kNullString;
            if (record.kind == FlatRecord::Kind::Element) {
                NV_ASSIGN(meaning, meaning_index(list.tables->code_meaning(record.descriptor, record.raw)));
            }
            push_number(message_index, s, record.descriptor, names, (record.flags & FlatRecord::kMissing) != 0,
                        record.raw_value, record.raw, meaning);
        }
    }
    return {};
}

Status RowBatchBuilder::append_columns(const ColumnList& list, std::int32_t message_index) {
    const std::size_t positions = list.columns.size();
    const std::size_t subsets = list.subsets;
    const std::size_t base = batch_.rows();
    const std::size_t rows = positions * subsets;
    reserve(rows);
    // What every subset shares: the names of each column, the index of a constant text.
    std::vector<Names> names(positions);
    std::vector<std::int32_t> constant_texts(positions, kNullString);
    for (std::size_t c = 0; c < positions; ++c) {
        const Column& column = list.columns[c];
        const std::string_view constant = column.text ? kCharacterDataName
                                          : column.descriptor == kAssociatedFieldCode ? kAssociatedFieldName
                                                                                      : kOperatorName;
        NV_ASSIGN(names[c], names_of(column.element, column.element != nullptr ? std::string_view() : constant));
        if (column.text && column.constant && list.text_cells[column.first].present) {
            NV_ASSIGN(constant_texts[c], batch_.strings.texts.index_of(list.texts.view(list.text_cells[column.first])));
        }
    }
    std::vector<std::int32_t> meanings(list.meanings.size());
    for (std::size_t m = 0; m < list.meanings.size(); ++m) {
        NV_ASSIGN(meanings[m], meaning_index(list.meanings[m]));
    }

    // The labels, row after row.
    for (std::size_t s = 0; s < subsets; ++s) {
        for (std::size_t c = 0; c < positions; ++c) {
            batch_.message.push(message_index);
            batch_.subset.push(static_cast<std::int32_t>(s));
            batch_.descriptor.push(static_cast<std::int32_t>(list.columns[c].descriptor));
            batch_.key.push(names[c].key);
            batch_.unit.push(names[c].unit);
        }
    }
    // The values: row (s, c) is base + s x positions + c. The cells lie column by column, the
    // rows subset by subset, so both are walked a tile of subsets at a time, which keeps the
    // cells read and the rows written in cache.
    double* value = batch_.value.data() + base;
    std::uint64_t* raw = batch_.raw.data() + base;
    std::uint8_t* flags = batch_.flags.data() + base;
    std::int32_t* text = batch_.text.data() + base;
    std::int32_t* meaning = batch_.meaning.data() + base;
    constexpr std::size_t kTile = 16;
    for (std::size_t first = 0; first < subsets; first += kTile) {
        const std::size_t last = std::min(subsets, first + kTile);
        for (std::size_t c = 0; c < positions; ++c) {
            const Column& column = list.columns[c];
            if (column.text) [[unlikely]] {
                for (std::size_t s = first; s < last; ++s) {
                    const std::size_t row = s * positions + c;
                    std::int32_t index = constant_texts[c];
                    if (!column.constant) {
                        const TextRef cell = list.text_cells[column.first + s];
                        index = kNullString;
                        if (cell.present) {
                            NV_ASSIGN(index, batch_.strings.texts.index_of(list.texts.view(cell)));
                        }
                    }
                    value[row] = kNull;
                    raw[row] = 0;
                    flags[row] = 0;
                    text[row] = index;
                    meaning[row] = kNullString;
                }
                continue;
            }
            const NumericCell* cells = column.constant ? &list.constant_cells[column.first]
                                                       : list.varying_cells.first(column.first);
            const std::size_t stride = column.constant ? 0 : list.varying_cells.stride();
            for (std::size_t s = first; s < last; ++s) {
                const NumericCell& cell = cells[s * stride];
                const std::size_t row = s * positions + c;
                value[row] = cell.missing ? kNull : scaled_value(cell.raw, column.reference, column.scale);
                raw[row] = cell.raw;
                flags[row] = cell.missing ? RowBatch::kRawPresent : RowBatch::kRawPresent | RowBatch::kValuePresent;
                text[row] = kNullString;
                meaning[row] = meanings[cell.meaning];
            }
        }
    }
    for (auto* column : {&batch_.text, &batch_.meaning}) column->commit(base + rows);
    batch_.value.commit(base + rows);
    batch_.raw.commit(base + rows);
    batch_.flags.commit(base + rows);
    return {};
}

namespace {

// Bit i of the bitmap is present(i); eight rows make one octet.
template <class Present>
Validity validity_of(std::size_t rows, Present&& present) {
    Validity validity;
    validity.bits.resize((rows + 7) / 8);
    std::uint8_t* bits = validity.bits.data();
    const std::size_t whole = rows / 8;
    for (std::size_t o = 0; o < whole; ++o) {
        std::uint8_t octet = 0;
        for (unsigned k = 0; k < 8; ++k) octet |= static_cast<std::uint8_t>(present(8 * o + k) ? 1u << k : 0u);
        bits[o] = octet;
    }
    for (std::size_t i = 8 * whole; i < rows; ++i) bits[whole] |= static_cast<std::uint8_t>(present(i) ? 1u << (i % 8) : 0u);
    std::size_t set = 0;
    for (std::size_t o = 0; o < validity.bits.size(); ++o) set += kBitsSet[bits[o]];
    validity.nulls = rows - set;
    return validity;
}

}  // namespace

void seal(RowBatch& batch) {
    const std::size_t rows = batch.rows();
    const std::uint8_t* flags = batch.flags.data();
    batch.value_valid = validity_of(rows, [&](std::size_t i) { return (flags[i] & RowBatch::kValuePresent) != 0; });
    batch.raw_valid = validity_of(rows, [&](std::size_t i) { return (flags[i] & RowBatch::kRawPresent) != 0; });
    batch.flags.clear();
    for (auto [indices, validity] : {std::pair{&batch.unit, &batch.unit_valid}, std::pair{&batch.text, &batch.text_valid},
                                     std::pair{&batch.meaning, &batch.meaning_valid}}) {
        std::int32_t* index = indices->data();
        *validity = validity_of(rows, [&](std::size_t i) { return index[i] != kNullString; });
        for (std::size_t i = 0; i < rows; ++i) index[i] = std::max(index[i], 0);
    }
}

}  // namespace norvane
