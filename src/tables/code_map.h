// Open-addressing hash map keyed by an integer (an FXY code, or a code-table raw value). Lookups hash one integer and usually touch
// one cache line; there is no string hashing anywhere on the decode path.
//
// Keys come from table files, which may be hostile: with a fixed hash, a file can list keys
// that all land in one probe cluster and make loading it quadratic. The hash is therefore
// multiply-shift with an odd multiplier drawn once per process, a universal family that no
// file can aim at.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace norvane {

// The process's hash multiplier: odd, random, the same for every map.
std::uint64_t code_map_multiplier();

template <class V, class K = std::uint32_t>
class CodeMap {
public:
    std::size_t size() const { return size_; }

    const V* find(K key) const {
        if (size_ == 0) return nullptr;
        for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
            const std::int32_t index = slots_[i];
            if (index < 0) return nullptr;
            if (keys_[static_cast<std::size_t>(index)] == key) return &values_[static_cast<std::size_t>(index)];
        }
    }

    // Inserts or replaces; the last value inserted under a key wins.
    V& insert_or_assign(K key, V value) {
        if ((size_ + 1) * 2 > slots_.size()) grow();
        for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
            const std::int32_t index = slots_[i];
            if (index < 0) {
                slots_[i] = static_cast<std::int32_t>(values_.size());
                keys_.push_back(key);
                values_.push_back(std::move(value));
                ++size_;
                return values_.back();
            }
            if (keys_[static_cast<std::size_t>(index)] == key) {
                V& slot = values_[static_cast<std::size_t>(index)];
                slot = std::move(value);
                return slot;
            }
        }
    }

    // Slots allocated, for checking that memory follows the entries inserted.
    std::size_t capacity() const { return slots_.size(); }

    void reserve(std::size_t n) {
        keys_.reserve(n);
        values_.reserve(n);
        while (slots_.size() < n * 2) grow();
    }

private:
    std::size_t slot_of(K key) const {
        const auto folded = static_cast<std::uint64_t>(key) ^ (static_cast<std::uint64_t>(key) >> 32);
        return static_cast<std::size_t>((folded * multiplier_) >> shift_) & mask_;
    }

    void grow() {
        const std::size_t capacity = slots_.empty() ? 64 : slots_.size() * 2;
        slots_.assign(capacity, -1);
        mask_ = capacity - 1;
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
        for (std::size_t index = 0; index < keys_.size(); ++index) {
            std::size_t i = slot_of(keys_[index]);
            while (slots_[i] >= 0) i = (i + 1) & mask_;
            slots_[i] = static_cast<std::int32_t>(index);
        }
    }

    std::vector<std::int32_t> slots_;
    std::vector<K> keys_;
    std::vector<V> values_;
    std::size_t size_ = 0;
    std::size_t mask_ = 0;
    std::uint64_t multiplier_ = code_map_multiplier();
    unsigned shift_ = 64;
};

}  // namespace norvane
