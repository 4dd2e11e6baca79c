// The in-memory BUFR tables: Table B elements, Table D sequences, code and flag tables.
// Loaders fill a TableSet; after that it is only read, so one set may serve many decodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error/bufr_error.h"
#include "tables/code_map.h"

namespace norvane {

struct ElementDefinition {
    std::uint32_t code = 0;
    std::string name;
    std::string unit;  // "CCITT IA5" marks a character element
    std::int32_t scale = 0;
    std::int64_t reference = 0;
    std::uint16_t width = 0;
    std::string abbreviation;
    std::string element_type;
};

struct SequenceDefinition {
    std::uint32_t code = 0;
    std::vector<std::uint32_t> members;
};

// Raw value -> meaning text of one code or flag table.
using CodeTable = CodeMap<std::string, std::uint64_t>;

class TableSet {
public:
    const ElementDefinition* element(std::uint32_t code) const { return elements_.find(code); }
    const SequenceDefinition* sequence(std::uint32_t code) const { return sequences_.find(code); }
    // The meaning of `raw` in the code or flag table of element `code`, or nullptr.
    const std::string* code_meaning(std::uint32_t code, std::uint64_t raw) const {
        const CodeTable* table = code_tables_.find(code);
        return table == nullptr ? nullptr : table->find(raw);
    }

    // The code or flag table of element `code`, or nullptr: for looking up many values of one element.
    const CodeTable* code_table(std::uint32_t code) const { return code_tables_.find(code); }

    std::size_t element_count() const { return elements_.size(); }
    std::size_t sequence_count() const { return sequences_.size(); }

    // Insertion replaces: the last definition loaded for a code wins.
    void insert_element(ElementDefinition element) {
        const std::uint32_t code = element.code;
        elements_.insert_or_assign(code, std::move(element));
    }
    void insert_sequence(SequenceDefinition sequence) {
        const std::uint32_t code = sequence.code;
        sequences_.insert_or_assign(code, std::move(sequence));
    }
    // A code table is inserted whole, replacing any earlier table of the same element.
    void insert_code_table(std::uint32_t code, CodeTable table) {
        code_tables_.insert_or_assign(code, std::move(table));
    }

private:
    CodeMap<ElementDefinition> elements_;
    CodeMap<SequenceDefinition> sequences_;
    CodeMap<CodeTable> code_tables_;
};

}  // namespace norvane
