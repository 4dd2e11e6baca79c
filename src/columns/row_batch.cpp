#include "columns/row_batch.h"

#include <algorithm>
#include <array>
#include <tuple>
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

// Writes rows after RowBatchBuilder::reserve() through pointers kept in registers: a store of
// a flag octet may alias anything, so writing through the columns' own members would reload
// every pointer after it. finish() hands the rows to the columns.
class RowWriter {
public:
    using Names = RowBatchBuilder::Names;

    explicit RowWriter(RowBatch& batch)
        : batch_(batch), row_(batch.rows()), message_(batch.message.data()), subset_(batch.subset.data()),
          descriptor_(batch.descriptor.data()), key_(batch.key.data()), unit_(batch.unit.data()),
          text_(batch.text.data()), meaning_(batch.meaning.data()), value_(batch.value.data()),
          raw_(batch.raw.data()), flags_(batch.flags.data()) {}

    void number(std::int32_t message, std::int32_t subset, std::uint32_t descriptor, Names names, bool missing,
                double value, std::uint64_t raw, std::int32_t meaning) {
        const std::size_t i = row_++;
        label(i, message, subset, descriptor, names);
        numeric_at(i, missing, value, raw, meaning);
    }

    void text(std::int32_t message, std::int32_t subset, std::uint32_t descriptor, Names names, std::int32_t text) {
        const std::size_t i = row_++;
        label(i, message, subset, descriptor, names);
        text_at(i, text);
    }

    std::size_t next_row() const { return row_; }

    // Labels `count` rows of one subset at once, from one subset's descriptors, keys and
    // units (a compressed message repeats them in every subset); returns the first row.
    std::size_t subset_labels(std::int32_t message, std::int32_t subset, const std::int32_t* descriptors,
                              const std::int32_t* keys, const std::int32_t* units, std::size_t count,
                              std::size_t units_present) {
        const std::size_t first = row_;
        std::fill_n(message_ + first, count, message);
        std::fill_n(subset_ + first, count, subset);
        std::copy_n(descriptors, count, descriptor_ + first);
        std::copy_n(keys, count, key_ + first);
        std::copy_n(units, count, unit_ + first);
        units_ += units_present;
        row_ += count;
        return first;
    }

    // The value columns of a labelled row `i`.
    void numeric_at(std::size_t i, bool missing, double value, std::uint64_t raw, std::int32_t meaning) {
        value_[i] = missing ? kNull : value;
        raw_[i] = raw;
        flags_[i] = missing ? RowBatch::kRawPresent : RowBatch::kRawPresent | RowBatch::kValuePresent;
        text_[i] = kNullString;
        meaning_[i] = meaning;
        values_ += !missing;
        raws_ += 1;
        meanings_ += meaning != kNullString;
    }
    void text_at(std::size_t i, std::int32_t text) {
        value_[i] = kNull;
        raw_[i] = 0;
        flags_[i] = 0;
        text_[i] = text;
        meaning_[i] = kNullString;
        texts_ += text != kNullString;
    }

    void finish() {
        for (auto* column : {&batch_.message, &batch_.subset, &batch_.descriptor, &batch_.key, &batch_.unit,
                             &batch_.text, &batch_.meaning})
            column->commit(row_);
        batch_.value.commit(row_);
        batch_.raw.commit(row_);
        batch_.flags.commit(row_);
        batch_.values += values_;
        batch_.raws += raws_;
        batch_.units += units_;
        batch_.texts += texts_;
        batch_.meanings += meanings_;
    }

private:
    void label(std::size_t i, std::int32_t message, std::int32_t subset, std::uint32_t descriptor, Names names) {
        message_[i] = message;
        subset_[i] = subset;
        descriptor_[i] = static_cast<std::int32_t>(descriptor);
        key_[i] = names.key;
        unit_[i] = names.unit;
        units_ += names.unit != kNullString;
    }

    RowBatch& batch_;
    std::size_t row_;
    std::int32_t *message_, *subset_, *descriptor_, *key_, *unit_, *text_, *meaning_;
    double* value_;
    std::uint64_t* raw_;
    std::uint8_t* flags_;
    std::size_t values_ = 0, raws_ = 0, units_ = 0, texts_ = 0, meanings_ = 0;
};

}  // namespace

RowBatchBuilder::RowBatchBuilder(RowBatch& batch, const KeySelection* selection)
    : batch_(batch), selection_(selection) {}

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

// Elements get their key and unit; the records that are not elements (markers, associated
// fields, 2 05 YYY texts) their constant name as key and no unit.
Result<RowBatchBuilder::Names> RowBatchBuilder::names_of(const ElementDefinition* element,
                                                         std::string_view constant_key, const TableSet& tables) {
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
    const std::string element_name = element != nullptr ? element_key(*element) : std::string();
    const std::string_view key = element != nullptr ? std::string_view(element_name) : constant_key;
    NV_ASSIGN(names.key, batch_.strings.keys.index_of(key));
    if (element != nullptr) {
        NV_ASSIGN(names.unit, batch_.strings.units.index_of(element->unit));
        names.code_table = tables.code_table(element->code);
    }
    names.selected = selection_ == nullptr || selection_->selects(key);
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
    RowWriter rows(batch_);
    const std::vector<std::uint64_t>& ends = list.subset_ends;
    std::size_t subset = 0;
    std::uint64_t row = 0;
    for (const std::vector<FlatRecord>& block : list.records.blocks()) {
        for (const FlatRecord& record : block) {
            while (subset < ends.size() && row == ends[subset]) ++subset;  // subsets without records
            ++row;
            const ElementDefinition* element = record.kind == FlatRecord::Kind::Element ? record.element : nullptr;
            const std::string_view constant = element != nullptr ? std::string_view{} : constant_key(record);
            NV_ASSIGN(const Names names, names_of(element, constant, *list.tables));
            if (!keeps(names, record.descriptor)) continue;
            const auto s = static_cast<std::int32_t>(subset);
            if (record.flags & FlatRecord::kText) [[unlikely]] {
                std::int32_t text = kNullString;
                if ((record.flags & FlatRecord::kAbsentText) == 0) {
                    NV_ASSIGN(text, batch_.strings.texts.index_of(list.texts.view(
                                        {static_cast<std::uint32_t>(record.raw), record.text_length, true})));
                }
                rows.text(message_index, s, record.descriptor, names, text);
                continue;
            }
            std::int32_t meaning = kNullString;
            if (names.code_table != nullptr) {
                NV_ASSIGN(meaning, meaning_index(names.code_table->find(record.raw)));
            }
            rows.number(message_index, s, record.descriptor, names, (record.flags & FlatRecord::kMissing) != 0,
                        record.raw_value, record.raw, meaning);
        }
    }
    rows.finish();
    return {};
}

Status RowBatchBuilder::append_columns(const ColumnList& list, std::int32_t message_index) {
    // What every subset shares: the labels of the kept positions, the cell of a constant
    // column, the index of a constant text, and the meanings looked up last (code and flag
    // columns repeat a few values), by raw & 3.
    struct Meaning {
        std::uint64_t raw = 0;
        std::int32_t index = kNullString;
        bool known = false;
    };
    struct Shared {
        const Column* column = nullptr;
        std::int32_t constant_text = kNullString;
        std::int32_t constant_meaning = kNullString;
        double constant_value = 0.0;
        std::array<Meaning, 4> meanings{};
    };
    std::vector<Shared> shared;
    std::vector<std::int32_t> descriptors, keys, units;
    std::size_t units_present = 0;
    for (const Column& column : list.columns) {
        NV_ASSIGN(const Names names, names_of(column.element, constant_key(column), *list.tables));
        if (!keeps(names, column.descriptor)) continue;
        descriptors.push_back(static_cast<std::int32_t>(column.descriptor));
        keys.push_back(names.key);
        units.push_back(names.unit);
        units_present += names.unit != kNullString;
        Shared& known = shared.emplace_back();
        known.column = &column;
        if (column.text && column.constant && list.text_cells[column.first].present) {
            NV_ASSIGN(known.constant_text, batch_.strings.texts.index_of(list.texts.view(list.text_cells[column.first])));
        } else if (!column.text && column.constant) {
            const BlockValue cell = list.constant_cells[column.first];
            known.constant_value = cell.missing ? 0.0 : scaled_value(cell.raw, column.reference, column.scale);
            NV_ASSIGN(known.constant_meaning, meaning_index(ColumnList::meaning(column, cell.raw)));
        }
    }
    const std::size_t positions = shared.size();
    reserve(positions * list.subsets);
    RowWriter rows(batch_);
    const std::size_t base = rows.next_row();
    for (std::size_t s = 0; s < list.subsets; ++s) {
        rows.subset_labels(message_index, static_cast<std::int32_t>(s), descriptors.data(), keys.data(), units.data(),
                           positions, units_present);
    }
    // A column's values lie together in section 4, a subset's in consecutive rows: both are
    // walked a tile of subsets at a time, so the rows being written stay in cache.
    constexpr std::size_t kTile = 16;
    for (std::size_t tile = 0; tile < list.subsets; tile += kTile) {
        const std::size_t last = std::min<std::size_t>(list.subsets, tile + kTile);
        for (std::size_t c = 0; c < positions; ++c) {
            Shared& known = shared[c];
            const Column& column = *known.column;
            std::size_t row = base + tile * positions + c;
            if (column.text) [[unlikely]] {
                for (std::size_t s = tile; s < last; ++s, row += positions) {
                    std::int32_t text = known.constant_text;
                    if (!column.constant) {
                        const TextRef cell = list.text_cells[column.first + s];
                        text = kNullString;
                        if (cell.present) {
                            NV_ASSIGN(text, batch_.strings.texts.index_of(list.texts.view(cell)));
                        }
                    }
                    rows.text_at(row, text);
                }
                continue;
            }
            if (column.constant) {
                const BlockValue cell = list.constant_cells[column.first];
                for (std::size_t s = tile; s < last; ++s, row += positions)
                    rows.numeric_at(row, cell.missing, known.constant_value, cell.raw, known.constant_meaning);
                continue;
            }
            const NumericBlock& block = list.blocks[column.first];
            for (std::size_t s = tile; s < last; ++s, row += positions) {
                const BlockValue cell = block.at(list.bits, s);
                std::int32_t meaning = kNullString;
                if (column.code_table != nullptr) {
                    Meaning& recent = known.meanings[cell.raw & 3];
                    if (!recent.known || recent.raw != cell.raw) {
                        NV_ASSIGN(recent.index, meaning_index(ColumnList::meaning(column, cell.raw)));
                        recent.raw = cell.raw;
                        recent.known = true;
                    }
                    meaning = recent.index;
                }
                rows.numeric_at(row, cell.missing,
                                cell.missing ? 0.0 : scaled_value(cell.raw, column.reference, column.scale), cell.raw,
                                meaning);
            }
        }
    }
    rows.finish();
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

void shrink_to_fit(RowBatch& batch) {
    for (auto* column : {&batch.message, &batch.subset, &batch.descriptor, &batch.key, &batch.unit, &batch.text,
                         &batch.meaning})
        column->shrink_to_fit();
    batch.value.shrink_to_fit();
    batch.raw.shrink_to_fit();
    batch.flags.shrink_to_fit();
}

void seal(RowBatch& batch) {
    if (batch.sealed) return;
    const std::size_t rows = batch.rows();
    // A column without nulls needs no bitmap; one without values an all-zero bitmap.
    const auto by_count = [&](std::size_t present, Validity& validity, auto&& present_at) {
        validity.nulls = rows - present;
        if (present == rows) return;
        if (present == 0) {
            validity.bits.assign((rows + 7) / 8, 0);
            return;
        }
        validity = validity_of(rows, present_at);
    };
    const std::uint8_t* flags = batch.flags.data();
    by_count(batch.values, batch.value_valid,
             [&](std::size_t i) { return (flags[i] & RowBatch::kValuePresent) != 0; });
    by_count(batch.raws, batch.raw_valid, [&](std::size_t i) { return (flags[i] & RowBatch::kRawPresent) != 0; });
    batch.flags.clear();
    for (auto [indices, validity, present] :
         {std::tuple{&batch.unit, &batch.unit_valid, batch.units}, std::tuple{&batch.text, &batch.text_valid, batch.texts},
          std::tuple{&batch.meaning, &batch.meaning_valid, batch.meanings}}) {
        const std::int32_t* index = indices->data();
        by_count(present, *validity, [&](std::size_t i) { return index[i] != kNullString; });
    }
    batch.sealed = true;
}

}  // namespace norvane
