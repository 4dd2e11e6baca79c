// Python str objects shared between decoded values: one per distinct string of a table set.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/binding.h"

namespace norvane::py {

// One Python str per distinct string of a table set (or constant name), keyed by the
// address of its characters: while the set lives, the same address holds the same text.
// Bounded by the number of names and meanings in the set.
class SharedStrings {
public:
    SharedStrings() : slots_(64) {}
    SharedStrings(const SharedStrings&) = delete;
    SharedStrings& operator=(const SharedStrings&) = delete;

    // A borrowed reference owned by the cache, or nullptr with an exception set.
    PyObject* get(const char* key, std::string_view text) {
        std::size_t i = slot_of(key);
        while (slots_[i].key != nullptr) {
            if (slots_[i].key == key) return slots_[i].text.get();
            i = (i + 1) & (slots_.size() - 1);
        }
        Ref made = Ref::steal(to_str(text));
        if (!made) return nullptr;
        PyObject* borrowed = made.get();
        slots_[i] = Slot{key, std::move(made)};
        if (++size_ * 2 > slots_.size()) grow();
        return borrowed;
    }

private:
    struct Slot {
        const char* key = nullptr;
        Ref text;
    };

    std::size_t slot_of(const char* key) const {
        const auto bits = reinterpret_cast<std::uintptr_t>(key);
        return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 40) & (slots_.size() - 1);
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (Slot& slot : old) {
            if (slot.key == nullptr) continue;
            std::size_t i = slot_of(slot.key);
            while (slots_[i].key != nullptr) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = std::move(slot);
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

}  // namespace norvane::py
