// The uncompressed layout: section 4 holds the subsets one after another, every value in
// place, so the walk's sink reads one value per descriptor and keeps one record for it.
#pragma once

#include <cstdint>
#include <string>
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

// One value as stored: 48 bytes, its text in the arena of the list.
struct FlatRecord {
    static constexpr std::uint8_t kHasRawValue = 1;
    static constexpr std::uint8_t kHasRaw = 2;
    static constexpr std::uint8_t kHasText = 4;

    double raw_value = 0.0;
    std::uint64_t raw = 0;  // text records: the offset of the text in the arena
    std::string_view name;
    const std::string* meaning = nullptr;
    std::uint32_t descriptor = 0;
    std::uint16_t text_length = 0;
    std::uint8_t flags = 0;
};
static_assert(sizeof(FlatRecord) == 48);

// The records of all subsets, subset 1's values first.
struct RecordList {
    std::vector<FlatRecord> records;
    TextArena texts;

    std::uint64_t size() const { return records.size(); }

    // Calls visit(const DecodedValue&) for each record in order; the record is only valid
    // during the call. Stops early, returning false, when `visit` returns false.
    template <class Visit>
    bool for_each(Visit&& visit) const {
        DecodedValue value;
        for (const FlatRecord& record : records) {
            value.descriptor = record.descriptor;
            value.name = record.name;
            value.has_raw_value = (record.flags & FlatRecord::kHasRawValue) != 0;
            value.raw_value = record.raw_value;
            value.has_raw = (record.flags & FlatRecord::kHasRaw) != 0;
            value.raw = value.has_raw ? record.raw : 0;
            value.raw_meaning = record.meaning;
            value.has_raw_text = (record.flags & FlatRecord::kHasText) != 0;
            value.raw_text = value.has_raw_text
                                 ? texts.view({static_cast<std::uint32_t>(record.raw), record.text_length, true})
                                 : std::string_view();
            if (!visit(static_cast<const DecodedValue&>(value))) return false;
        }
        return true;
    }
};

// The walk's sink for uncompressed data (see data/descriptor_walk.h).
class UncompressedRecords {
public:
    static constexpr bool kNewReferences = true;
    static constexpr std::string_view kDepthExceeded = "descriptor decode exceeded recursion depth";

    UncompressedRecords(const TableSet& tables, BitReader& reader, RecordList& list)
        : tables_(tables), reader_(reader), list_(list) {}

    Status numeric(const NumericField& field) {
        NV_ASSIGN(const std::uint64_t raw, reader_.read_u64(field.width));
        FlatRecord& record = list_.records.emplace_back();
        record.descriptor = field.code;
        record.name = field.name;
        record.raw = raw;
        const bool missing = field.missing_allowed && field.width <= 63 && raw == all_ones(field.width);
        record.flags = missing ? FlatRecord::kHasRaw : FlatRecord::kHasRaw | FlatRecord::kHasRawValue;
        if (!missing) record.raw_value = scaled_value(raw, field.reference, field.scale);
        if (field.with_meanings) record.meaning = tables_.code_meaning(field.code, raw);
        return {};
    }

    // A text record; its reference number counts the texts of the whole message.
    Status text(const TextField& field) {
        NV_ASSIGN(const TextRef text, list_.texts.read(reader_, field.width));
        ++text_counter_;
        FlatRecord& record = list_.records.emplace_back();
        record.descriptor = field.code;
        record.name = field.name;
        record.raw_value = static_cast<double>(text_counter_ * 1000 + field.width / 8u);
        record.raw = text.offset;
        record.text_length = text.length;
        record.flags = text.present ? FlatRecord::kHasRawValue | FlatRecord::kHasText : FlatRecord::kHasRawValue;
        return {};
    }

    Status marker(std::uint32_t code) {
        FlatRecord& record = list_.records.emplace_back();
        record.descriptor = code;
        record.name = kOperatorName;
        record.flags = FlatRecord::kHasRaw | FlatRecord::kHasRawValue;
        return {};
    }

    // The value just read as a replication count: 0 when it is missing or a text.
    Result<std::uint64_t> replication_factor() const {
        double value = 0.0;
        return last_number(value) ? saturating_u64(value) : 0;
    }
    // The value just read as a bitmap entry: 0 (present) when it is missing or a text.
    Result<std::uint8_t> bitmap_entry() const {
        double value = 0.0;
        return last_number(value) ? norvane::bitmap_entry(value) : std::uint8_t{0};
    }

    std::uint64_t values() const { return list_.records.size(); }

private:
    bool last_number(double& value) const {
        const FlatRecord& record = list_.records.back();
        constexpr std::uint8_t kNumber = FlatRecord::kHasRaw | FlatRecord::kHasRawValue;
        if ((record.flags & kNumber) != kNumber) return false;
        value = record.raw_value;
        return true;
    }

    const TableSet& tables_;
    BitReader& reader_;
    RecordList& list_;
    std::uint64_t text_counter_ = 0;
};

}  // namespace norvane
