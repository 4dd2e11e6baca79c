// The long table's rows of a run of consecutive messages: one row per decoded value, with
// the columns message, subset, descriptor, key, value, raw, text, meaning and unit. The
// string columns hold indices into dictionaries of their batch until a LongTable merges the
// batches' dictionaries into one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "columns/key_selection.h"
#include "columns/pod_column.h"
#include "columns/string_dictionary.h"
#include "data/decoder.h"
#include "error/bufr_error.h"
#include "tables/code_map.h"

namespace norvane {

// An Arrow validity bitmap: bit i is row i, 1 for a value.
struct Validity {
    std::vector<std::uint8_t> bits;
    std::size_t nulls = 0;

    const std::uint8_t* data() const { return bits.data(); }
};

struct StringColumns {
    StringDictionary keys, units, texts, meanings;
};

// A null string index until the batch is sealed; then null rows hold index 0.
inline constexpr std::int32_t kNullString = -1;

struct RowBatch {
    static constexpr std::uint8_t kValuePresent = 1;
    static constexpr std::uint8_t kRawPresent = 2;

    PodColumn<std::int32_t> message, subset, descriptor, key, unit, text, meaning;
    PodColumn<double> value;  // NaN in null rows, so the buffer reads as a float matrix
    PodColumn<std::uint64_t> raw;
    PodColumn<std::uint8_t> flags;  // kValuePresent | kRawPresent, until seal() makes the bitmaps
    // Rows with a value in each nullable column, counted as they are written: seal() makes no
    // bitmap for a column without nulls, and no pass over one without values.
    std::size_t values = 0, raws = 0, units = 0, texts = 0, meanings = 0;
    Validity value_valid, raw_valid, unit_valid, text_valid, meaning_valid;  // made by seal()
    bool sealed = false;
    StringColumns strings;  // the batch's own until merged

    std::size_t rows() const { return value.size(); }
};

// Appends the rows of decoded messages to one batch: every row, or with a `selection` only
// the rows it selects (the selection must outlive the builder).
class RowBatchBuilder {
public:
    explicit RowBatchBuilder(RowBatch& batch, const KeySelection* selection = nullptr);

    // The rows of `message`, labelled `message_index`. The message's tables must still live.
    Status append(const DecodedMessage& message, std::int32_t message_index);

    // Room for `rows` rows in all, when the caller can tell: growing a batch by doubling
    // copies it and leaves up to half of it unused.
    void expect(std::size_t rows) { reserve(rows > batch_.rows() ? rows - batch_.rows() : 0); }

    struct Names {
        std::int32_t key = 0;
        std::int32_t unit = kNullString;
        const CodeTable* code_table = nullptr;  // of an element with one
        bool selected = true;                   // the key is selected (or there is no selection)
    };

private:

    Status append_records(const RecordList& list, std::int32_t message_index);
    Status append_columns(const ColumnList& list, std::int32_t message_index);
    void reserve(std::size_t rows);

    // The names of `element`, or of a value without one by `constant_key`; `tables` is the
    // element's set: its code table is looked up once too.
    Result<Names> names_of(const ElementDefinition* element, std::string_view constant_key, const TableSet& tables);
    Result<std::int32_t> meaning_index(const std::string* meaning);

    // The names of recently seen elements, by address, in front of the map of all of them:
    // one load per value instead of a hash probe.
    struct NameSlot {
        std::uint64_t address = 0;
        Names names;
    };
    static constexpr std::size_t kRecentNames = 512;

    // A row is written when its key is selected or it is a coordinate.
    bool keeps(const Names& names, std::uint32_t descriptor) const {
        return names.selected || KeySelection::is_coordinate(descriptor);
    }

    RowBatch& batch_;
    const KeySelection* selection_;
    std::vector<NameSlot> recent_names_ = std::vector<NameSlot>(kRecentNames);
    CodeMap<Names, std::uint64_t> element_names_;    // by the element's address
    CodeMap<std::int32_t, std::uint64_t> meanings_;  // by the meaning's address
};

// Gives back the room a batch reserved but did not fill (a selection kept fewer rows).
void shrink_to_fit(RowBatch& batch);

// Makes the validity bitmaps, from the flags and from the string indices (null ones stay
// kNullString until LongTable::merge points them at entry 0), once the batch is complete.
void seal(RowBatch& batch);

}  // namespace norvane
