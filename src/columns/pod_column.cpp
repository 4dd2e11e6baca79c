#include "columns/pod_column.h"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace norvane {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

bool mapped(std::size_t bytes) {
#if defined(__linux__)
    return bytes >= 2 * kHugePage;
#else
    (void)bytes;
    return false;
#endif
}

std::size_t rounded(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

// Large columns are mapped directly rather than taken from the heap: unmapping gives them
// back to the system when the table is released (the heap keeps freed blocks below its own
// threshold), and their huge-page alignment lets the kernel back them with huge pages.
void* allocate_column(std::size_t bytes) {
#if defined(__linux__)
    if (mapped(bytes)) {
        const std::size_t size = rounded(bytes);
        void* region = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (region == MAP_FAILED) throw std::bad_alloc();
        const auto start = reinterpret_cast<std::uintptr_t>(region);
        const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
        if (aligned != start) munmap(region, aligned - start);
        if (const std::size_t tail = start + size + kHugePage - (aligned + size); tail != 0)
            munmap(reinterpret_cast<void*>(aligned + size), tail);
#if defined(MADV_HUGEPAGE)
        madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // a hint: failure costs nothing
#endif
        return reinterpret_cast<void*>(aligned);
    }
#endif
    void* memory = std::malloc(bytes == 0 ? 1 : bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

void release_column(void* memory, std::size_t bytes) noexcept {
    if (memory == nullptr) return;
#if defined(__linux__)
    if (mapped(bytes)) {
        munmap(memory, rounded(bytes));
        return;
    }
#endif
    std::free(memory);
}

}  // namespace norvane
