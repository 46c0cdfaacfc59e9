// Look-ups in the metric table.
#include "metrics/metric_table.hpp"

#include <stdexcept>
#include <string>

namespace halqen {
namespace {

std::optional<MetricKind> metric_named(std::string_view MetricRow::*column, std::string_view name) {
  for (const MetricRow& row : kMetrics) {
    if (row.*column == name) return row.kind;
  }
  return std::nullopt;
}

}  // namespace

const MetricRow& metric_row(MetricKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  if (index >= kMetricCount) {
    throw std::invalid_argument("unknown metric kind " + std::to_string(static_cast<int>(kind)));
  }
  return kMetrics[index];
}

std::optional<MetricKind> metric_with_flat_name(std::string_view name) {
  return metric_named(&MetricRow::flat_name, name);
}

std::optional<MetricKind> metric_with_hnsw_name(std::string_view name) {
  return metric_named(&MetricRow::hnsw_name, name);
}

std::optional<MetricKind> metric_with_file_code(std::uint32_t code) {
  for (const MetricRow& row : kMetrics) {
    if (row.file_code == code) return row.kind;
  }
  return std::nullopt;
}

}  // namespace halqen
