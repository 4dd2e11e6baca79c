#include "columns/pod_column.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace norvane {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

void* allocate_column(std::size_t bytes) {
    void* memory = nullptr;
    if (bytes >= 2 * kHugePage) {
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        memory = std::aligned_alloc(kHugePage, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (memory != nullptr) madvise(memory, rounded, MADV_HUGEPAGE);  // a hint: failure costs nothing
#endif
    } else {
        memory = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

}  // namespace norvane
