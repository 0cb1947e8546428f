// Counts heap allocations of the whole process, for figures that must show none.

#include <atomic>
#include <cstddef>
#include <cstdint>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
}

std::atomic<std::uint64_t> benchAllocations{0};

extern "C" {
void* malloc(std::size_t size) {
    benchAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
    benchAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
    benchAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
}
