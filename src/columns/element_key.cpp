#include "columns/element_key.h"

#include <cstdio>

namespace norvane {
namespace {

bool is_ascii_alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string camel_case_key(std::string_view name, std::uint32_t code) {
    std::string key;
    bool first_word = true;
    for (std::size_t i = 0; i < name.size();) {
        if (!is_ascii_alnum(name[i])) {
            ++i;
            continue;
        }
        key.push_back(first_word ? lower(name[i]) : upper(name[i]));
        for (++i; i < name.size() && is_ascii_alnum(name[i]); ++i) key.push_back(lower(name[i]));
        first_word = false;
    }
    if (key.empty()) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%06u", code % 1000000u);
        key = std::string("element") + digits;
    }
    return key;
}

std::string element_key(const ElementDefinition& element) {
    return element.abbreviation.empty() ? camel_case_key(element.name, element.code) : element.abbreviation;
}

std::string_view constant_key(const FlatRecord& record) {
    switch (record.kind) {
        case FlatRecord::Kind::AssociatedField: return kAssociatedFieldName;
        case FlatRecord::Kind::CharacterData: return kCharacterDataName;
        default: return kOperatorName;
    }
}

std::string_view constant_key(const Column& column) {
    if (column.text) return kCharacterDataName;
    return column.descriptor == kAssociatedFieldCode ? kAssociatedFieldName : kOperatorName;
}

}  // namespace norvane
