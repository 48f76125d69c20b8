#include "core/search.h"

#include <map>

#include "common/errors.h"
#include "common/worker_pool.h"
#include "window/window.h"

namespace velkan {

CallTables make_call_tables(const EngineInputs& inputs, const PreparedEngine& prepared, KernelForm form) {
  std::map<std::int32_t, LevelShape> shapes;
  for (const auto& [level, raster] : prepared.condition)
    shapes.emplace(level, LevelShape{raster.rows(), raster.cols()});
  const ConnectivityParams& p = inputs.params;
  CallTables tables{StepLengths(inputs.transforms, shapes, p.is_geo, kSameLevelSteps,
                                static_cast<std::int32_t>(p.row_offset), static_cast<std::int32_t>(p.col_offset)),
                    DistanceDecay(inputs.params.lambdas, form),
                    plan_windows(prepared, inputs.params),
                    {}};
  tables.templates = template_policy(tables.windows, tables.step_lengths);
  return tables;
}

std::size_t memory_bytes(const CallTables& tables) {
  return sizeof(tables) + tables.step_lengths.memory_bytes() + tables.decay.memory_bytes() +
         tables.windows.levels.capacity() * sizeof(LevelPlan);
}

void collect_records(const SearchGraph& graph, SearchScratch& scratch) {
  scratch.records.clear();
  const SearchResult& w = scratch.weighted;
  const SearchResult& d = scratch.distance;
  for (const std::uint32_t n : w.settled) {
    if (static_cast<std::int32_t>(n) == graph.source) continue;
    if (d.total[n] == kUnreached) throw InternalError("Node not found!");
    DestinationRecord r;
    r.weighted_cost = w.weighted_path[n];
    r.distance_cost = static_cast<float>(d.total[n]) / 100.0f;
    r.distance_units = d.total[n];
    r.condition = graph.condition[n];
    r.protected_fraction = graph.protected_fraction[n];
    r.weight = graph.weight[n];
    r.similarity = graph.similarity[n];
    r.similarity_stride = graph.similarity_stride[n];
    r.grid_count = graph.grid_count[n];
    scratch.records.push_back(r);
  }
}

void make_graph(std::int32_t row, std::int32_t col, const SearchContext& ctx, SearchScratch& s) {
  s.fit = TemplateFit::None;
  s.graph_template = nullptr;
  const CallTables& tables = ctx.tables;
  if (tables.templates.usable) {
    const TemplateInputs inputs{tables.windows, ctx.params, ctx.transforms, tables.step_lengths, tables.templates};
    SharedTemplates* shared = ctx.shared_templates;
    s.graph_template = shared != nullptr && shared->active() ? shared->find(row, col, inputs, s.templates)
                                                             : s.templates.find(row, col, inputs);
  }
  if (s.graph_template != nullptr) {
    s.fit = graph_from_template(*s.graph_template, row, col, s.windows, ctx.params, tables.step_lengths,
                                s.template_scratch, s.graph);
  }
  if (s.fit == TemplateFit::None) {
    build_search_graph(row, col, s.windows, ctx.params, ctx.transforms, s.graph_scratch, s.graph, &tables.step_lengths);
  }
}

void weighted_search(SearchScratch& s) {
  path_sum_search(s.graph, s.graph.source, CostKind::Weighted, s.buckets, s.weighted);
}

void distance_totals(SearchScratch& s) {
  if (s.fit != TemplateFit::None &&
      distances_from_template(*s.graph_template, s.fit, s.template_scratch, s.distance.total)) {
    (s.fit == TemplateFit::Whole ? s.paths.whole : s.paths.repaired) += 1;
    return;
  }
  (s.fit == TemplateFit::None ? s.paths.built : s.paths.searched) += 1;
  distance_total_search(s.graph, s.graph.source, s.buckets, s.distance);
}

void run_searches(SearchScratch& scratch) {
  weighted_search(scratch);
  distance_totals(scratch);
}

float evaluate_windows(std::int32_t row, std::int32_t col, const SearchContext& ctx, SearchScratch& scratch) {
  make_graph(row, col, ctx, scratch);
  run_searches(scratch);
  collect_records(scratch.graph, scratch);
  return focal_value(scratch.records, ctx.params.lambdas, ctx.form, scratch.acc, ctx.tables.decay);
}

float search_focal_cell(std::int32_t row, std::int32_t col, const SearchContext& ctx, SearchScratch& scratch) {
  gather_focal_windows(row, col, ctx.tables.windows, scratch.windows);
  return evaluate_windows(row, col, ctx, scratch);
}

void search_row(std::int32_t row, std::size_t first, std::size_t last, const SearchContext& ctx, float* out_row,
                SearchScratch& scratch, const WorkerPool* pool) {
  for (std::size_t c = first; c < last; ++c) {
    if (pool != nullptr && pool->loop_cancelled()) return;  // the call is failing or interrupted
    if (ctx.mask(static_cast<std::size_t>(row), c) != 0) continue;
    out_row[c] = search_focal_cell(row, static_cast<std::int32_t>(c), ctx, scratch);
  }
}

}  // namespace velkan
