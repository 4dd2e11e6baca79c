// A growable buffer of plain values for the long table's columns: reserve() once per
// message, then push() without a capacity check per value (the rows of a message are known
// before they are written). Unlike std::vector it never zero-fills what it reserves, and a
// large buffer asks the kernel for huge pages: a table is written once, front to back, and
// faulting it in 4 KiB at a time costs as much as writing it.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace norvane {

// `bytes` of uninitialised memory, released with std::free; throws std::bad_alloc.
void* allocate_column(std::size_t bytes);

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
        Buffer fresh(static_cast<T*>(allocate_column(room * sizeof(T))));
        if (size_ != 0) std::memcpy(fresh.get(), data_.get(), size_ * sizeof(T));
        data_ = std::move(fresh);
        capacity_ = room;
    }
    // The caller has reserved room for it.
    void push(T value) { data_[size_++] = value; }
    // Takes the values the caller wrote through data() up to `n` (within the reserved room).
    void commit(std::size_t n) { size_ = n; }

    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    T* begin() { return data_.get(); }
    T* end() { return data_.get() + size_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    void clear() {
        data_.reset();
        size_ = capacity_ = 0;
    }

private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    using Buffer = std::unique_ptr<T[], Free>;

    Buffer data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace norvane
