#include "common/cell_memory.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace velkan {

namespace {

// Below this a raster is too small for huge pages to matter.
constexpr std::size_t kHugePageWorthy = std::size_t{8} << 20;

void offer_huge_pages(void* memory, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t begin = (start + page - 1) / page * page, end = (start + bytes) / page * page;
  // Advice only: where the system declines, the memory is the same, just slower to fault in.
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)memory;
  (void)bytes;
#endif
}

}  // namespace

void* allocate_zeroed_cells(std::size_t count, std::size_t size) {
  void* memory = std::calloc(count, size);
  if (memory == nullptr) {
    if (count == 0 || size == 0) return nullptr;
    throw std::bad_alloc();
  }
  if (count * size >= kHugePageWorthy) offer_huge_pages(memory, count * size);
  return memory;
}

void free_cells(void* memory) { std::free(memory); }

}  // namespace velkan
