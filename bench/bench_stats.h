// Small statistics and reporting helpers of the end-to-end benchmark: the
// median and percentiles of samples, and the figures it reports (name,
// value, unit, the target it is held against) with their JSON form.
//
// Thread safety: plain values and functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wzbench {

// Median of the samples (mean of the two middle ones for an even count);
// 0 for none.
double Median(std::vector<double> samples);
// Nearest-rank percentile, p in [0, 100]; 0 for no samples.
double Percentile(std::vector<double> samples, double p);

// How a figure is held against its target.
enum class TargetKind {
  kNone,     // reported only
  kAtLeast,  // value >= target
  kBelow,    // value < target
};

struct Figure {
  std::string name;   // stable key, e.g. "changes_per_s_1_client"
  std::string label;  // what a reader sees in the table
  double value = 0;
  std::string unit;
  TargetKind kind = TargetKind::kNone;
  double target = 0;
  std::string targetText;  // how the target was derived, e.g. ">= 80% of fsync-and-rename (79.2/s)"
  std::string note;        // failure reason or remark; a failed measurement has no value
  bool measured = true;

  // Whether the target is met (true for figures without a target; false for
  // a figure that could not be measured).
  bool Met() const;
};

// A measured figure without a target, and one that could not be measured
// (why goes into its note).
Figure Measured(const std::string& name, const std::string& label, double value, const std::string& unit,
                const std::string& note = "");
Figure Failed(const std::string& name, const std::string& label, const std::string& why);

// The figures as a JSON document: {"figures": [...], "context": {...}}.
// context: extra key/value strings (machine, run parameters).
std::string FiguresToJson(const std::vector<Figure>& figures,
                          const std::vector<std::pair<std::string, std::string>>& context);
// Prints the figures as table rows (label, value, target, verdict) on
// stdout, each note on its own line below its row.
void PrintFigures(const std::vector<Figure>& figures, int labelWidth, int targetWidth);
// JSON string literal of text (quotes included).
std::string JsonString(const std::string& text);

}  // namespace wzbench
