// Zeroed memory for raster cells.
#pragma once

#include <cstddef>

namespace velkan {

// `count` zeroed elements of `size` bytes each; throws std::bad_alloc when the
// memory cannot be had. Large blocks come from the system as zero pages that
// are only backed when first written, and are offered huge pages, so the
// first writes (spread over the workers) fault rarely.
void* allocate_zeroed_cells(std::size_t count, std::size_t size);

// Frees memory from allocate_zeroed_cells (nullptr is fine).
void free_cells(void* memory);

}  // namespace velkan
