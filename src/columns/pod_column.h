// A growable buffer of plain values for the long table's columns: reserve() once per
// message, then push() without a capacity check per value (the rows of a message are known
// before they are written). Unlike std::vector it never zero-fills what it reserves, and a
// large buffer asks the kernel for huge pages: a table is written once, front to back, and
// faulting it in 4 KiB at a time costs as much as writing it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <new>
#include <type_traits>

namespace norvane {

// `bytes` of uninitialised memory; throws std::bad_alloc. Give it back with release_column
// and the same `bytes`.
void* allocate_column(std::size_t bytes);
void release_column(void* memory, std::size_t bytes) noexcept;

template <class T>
class PodColumn {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    // Room for at least `n` values; grows geometrically so a batch of many messages copies
    // each value a bounded number of times.
    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        const std::size_t room = n < 2 * capacity_ ? 2 * capacity_ : n;
        if (room > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        T* fresh = static_cast<T*>(allocate_column(room * sizeof(T)));
        if (size_ != 0) std::memcpy(fresh, data_, size_ * sizeof(T));
        release_column(data_, capacity_ * sizeof(T));
        data_ = fresh;
        capacity_ = room;
    }
    // Gives back the room beyond size(), with one copy of the values.
    void shrink_to_fit() {
        if (capacity_ == size_) return;
        T* fresh = size_ != 0 ? static_cast<T*>(allocate_column(size_ * sizeof(T))) : nullptr;
        if (size_ != 0) std::memcpy(fresh, data_, size_ * sizeof(T));
        release_column(data_, capacity_ * sizeof(T));
        data_ = fresh;
        capacity_ = size_;
    }
    // The caller has reserved room for it.
    void push(T value) { data_[size_++] = value; }
    // Takes the values the caller wrote through data() up to `n` (within the reserved room).
    void commit(std::size_t n) { size_ = n; }

    PodColumn() = default;
    PodColumn(PodColumn&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    PodColumn& operator=(PodColumn&& other) noexcept {
        if (this != &other) {
            clear();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~PodColumn() { clear(); }

    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    void clear() {
        release_column(data_, capacity_ * sizeof(T));
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace norvane
