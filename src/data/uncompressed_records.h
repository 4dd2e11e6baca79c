// The uncompressed layout: section 4 holds the subsets one after another, every value in
// place, so the walk's sink reads one value per descriptor and keeps one record for it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "bitstream/bit_reader.h"
#include "data/bitmap.h"
#include "data/decoded_value.h"
#include "data/element_reader.h"
#include "data/text_arena.h"
#include "error/bufr_error.h"
#include "tables/table_set.h"

namespace norvane {

// One value as stored, in 32 bytes: the name and the code-table meaning follow from the Table
// B entry (or the kind), the text lies in the arena of the list.
struct FlatRecord {
    enum class Kind : std::uint8_t { Element, AssociatedField, Marker, CharacterData };
    static constexpr std::uint8_t kMissing = 1;  // numeric: no raw_value
    static constexpr std::uint8_t kText = 2;     // raw holds the text's offset in the arena
    static constexpr std::uint8_t kAbsentText = 4;

    double raw_value = 0.0;
    std::uint64_t raw = 0;
    const ElementDefinition* element = nullptr;  // Kind::Element
    std::uint32_t descriptor = 0;
    Kind kind = Kind::Element;
    std::uint8_t flags = 0;
    std::uint16_t text_length = 0;
};
static_assert(sizeof(FlatRecord) == 32);

// Records in blocks that never move: the list grows by a block, never by copying, which would
// hold every record twice for a moment. Blocks double in size up to 2^16 records.
class RecordBlocks {
public:
    explicit RecordBlocks(std::size_t first_block = 64) : next_block_(std::max<std::size_t>(first_block, 16)) {}

    FlatRecord& emplace_back() {
        if (blocks_.empty() || blocks_.back().size() == blocks_.back().capacity()) [[unlikely]]
            add_block();
        ++size_;
        return blocks_.back().emplace_back();
    }
    const FlatRecord& back() const { return blocks_.back().back(); }
    std::size_t size() const { return size_; }
    const std::vector<std::vector<FlatRecord>>& blocks() const { return blocks_; }

private:
    static constexpr std::size_t kMaxBlock = std::size_t{1} << 16;

    void add_block() {
        blocks_.emplace_back().reserve(next_block_);
        next_block_ = std::min(2 * next_block_, kMaxBlock);
    }

    std::vector<std::vector<FlatRecord>> blocks_;
    std::size_t next_block_;
    std::size_t size_ = 0;
};

// The records of all subsets, subset 1's values first.
struct RecordList {
    // `tables` supplies names and meanings when the records are visited; it must outlive them.
    RecordList(const TableSet& tables, std::size_t first_block) : tables(&tables), records(first_block) {}

    const TableSet* tables;
    RecordBlocks records;
    TextArena texts;
    std::vector<std::uint64_t> subset_ends;  // records.size() after each subset

    std::uint64_t size() const { return records.size(); }

    // Calls visit(const DecodedValue&) for each record in order; the record is only valid
    // during the call. Stops early, returning false, when `visit` returns false.
    template <class Visit>
    bool for_each(Visit&& visit) const {
        DecodedValue value;
        for (const std::vector<FlatRecord>& block : records.blocks()) {
            for (const FlatRecord& record : block) {
                fill(record, value);
                if (!visit(static_cast<const DecodedValue&>(value))) return false;
            }
        }
        return true;
    }

private:
    void fill(const FlatRecord& record, DecodedValue& value) const {
        value.descriptor = record.descriptor;
        switch (record.kind) {
            case FlatRecord::Kind::Element: value.name = record.element->name; break;
            case FlatRecord::Kind::AssociatedField: value.name = kAssociatedFieldName; break;
            case FlatRecord::Kind::Marker: value.name = kOperatorName; break;
            case FlatRecord::Kind::CharacterData: value.name = kCharacterDataName; break;
        }
        value.has_raw_value = (record.flags & FlatRecord::kMissing) == 0;
        value.raw_value = record.raw_value;
        if (record.flags & FlatRecord::kText) [[unlikely]] {
            value.has_raw = false;
            value.raw = 0;
            value.raw_meaning = nullptr;
            value.has_raw_text = (record.flags & FlatRecord::kAbsentText) == 0;
            value.raw_text = value.has_raw_text
                                 ? texts.view({static_cast<std::uint32_t>(record.raw), record.text_length, true})
                                 : std::string_view();
            return;
        }
        value.has_raw = true;
        value.raw = record.raw;
        value.raw_meaning =
            record.kind == FlatRecord::Kind::Element ? tables->code_meaning(record.descriptor, record.raw) : nullptr;
        value.has_raw_text = false;
        value.raw_text = std::string_view();
    }
};

// The walk's sink for uncompressed data (see data/descriptor_walk.h).
class UncompressedRecords {
public:
    static constexpr bool kNewReferences = true;
    static constexpr std::string_view kDepthExceeded = "descriptor decode exceeded recursion depth";

    UncompressedRecords(BitReader& reader, RecordList& list) : reader_(reader), list_(list) {}

    // An element's value, or an associated field when the field has no element.
    Status numeric(const NumericField& field) {
        NV_ASSIGN(const std::uint64_t raw, reader_.read_u64(field.width));
        FlatRecord& record = list_.records.emplace_back();
        record.descriptor = field.code;
        record.element = field.element;
        record.kind = field.element != nullptr ? FlatRecord::Kind::Element : FlatRecord::Kind::AssociatedField;
        record.raw = raw;
        if (field.missing_allowed && field.width <= 63 && raw == all_ones(field.width)) {
            record.flags = FlatRecord::kMissing;
        } else {
            record.raw_value = scaled_value(raw, field.reference, field.scale);
        }
        return {};
    }

    // An element's text, or 2 05 YYY character data when the field has no element. The
    // reference number counts the texts of the whole message.
    Status text(const TextField& field) {
        NV_ASSIGN(const TextRef text, list_.texts.read(reader_, field.width));
        ++text_counter_;
        FlatRecord& record = list_.records.emplace_back();
        record.descriptor = field.code;
        record.element = field.element;
        record.kind = field.element != nullptr ? FlatRecord::Kind::Element : FlatRecord::Kind::CharacterData;
        record.raw_value = static_cast<double>(text_counter_ * 1000 + field.width / 8u);
        record.raw = text.offset;
        record.text_length = text.length;
        record.flags = text.present ? FlatRecord::kText : FlatRecord::kText | FlatRecord::kAbsentText;
        return {};
    }

    Status marker(std::uint32_t code) {
        FlatRecord& record = list_.records.emplace_back();
        record.descriptor = code;
        record.kind = FlatRecord::Kind::Marker;
        return {};
    }

    // The value just read as a replication count: 0 when it is missing or a text.
    Result<std::uint64_t> replication_factor() const {
        const FlatRecord& record = list_.records.back();
        return record.flags == 0 ? saturating_u64(record.raw_value) : 0;
    }
    // The value just read as a bitmap entry: 0 (present) when it is missing or a text.
    Result<std::uint8_t> bitmap_entry() const {
        const FlatRecord& record = list_.records.back();
        return record.flags == 0 ? norvane::bitmap_entry(record.raw_value) : std::uint8_t{0};
    }

    std::uint64_t values() const { return list_.records.size(); }

private:
    BitReader& reader_;
    RecordList& list_;
    std::uint64_t text_counter_ = 0;
};

}  // namespace norvane
