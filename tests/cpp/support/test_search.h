// A search context for tests that hand the focal-cell search their own inputs.
#pragma once

#include <cstdint>

#include "common/raster.h"
#include "core/search.h"
#include "model/engine_inputs.h"
#include "model/kernel_form.h"
#include "model/pyramids.h"

namespace velkan {

// Call tables that hold no step lengths and no distance kernels, so that
// every same-level edge is measured and every kernel evaluated (the values
// the tables stand for), with windows planned over `prepared`, which need
// not have any level. `prepared` and `params` must outlive them.
CallTables untabled_call_tables(const PreparedEngine& prepared, const ConnectivityParams& params);

// A SearchContext over caller-owned inputs, which must outlive it, and its
// own untabled call tables. Neither copied nor moved: the context refers to
// the tables.
class TestSearch {
 public:
  TestSearch(const PreparedEngine& prepared, const ConnectivityParams& params, const TransformMap& transforms,
             const Raster<std::uint8_t>& mask, KernelForm form);
  TestSearch(const TestSearch&) = delete;
  TestSearch& operator=(const TestSearch&) = delete;

  const SearchContext& context() const { return context_; }

 private:
  CallTables tables_;
  SearchContext context_;
};

}  // namespace velkan
