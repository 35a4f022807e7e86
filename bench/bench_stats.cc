#include "bench/bench_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace wzbench {

double Median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  return n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  p = std::min(100.0, std::max(0.0, p));
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
  if (rank == 0) rank = 1;
  return samples[rank - 1];
}

bool Figure::Met() const {
  if (!measured) return false;
  switch (kind) {
    case TargetKind::kNone:
      return true;
    case TargetKind::kAtLeast:
      return value >= target;
    case TargetKind::kBelow:
      return value < target;
  }
  return false;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof(buf), "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

namespace {

std::string JsonNumber(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[64];
  snprintf(buf, sizeof(buf), "%.6g", v);
  return buf;
}

const char* KindText(TargetKind kind) {
  switch (kind) {
    case TargetKind::kAtLeast:
      return ">=";
    case TargetKind::kBelow:
      return "<";
    case TargetKind::kNone:
      break;
  }
  return "";
}

}  // namespace

std::string FiguresToJson(const std::vector<Figure>& figures,
                          const std::vector<std::pair<std::string, std::string>>& context) {
  std::string out = "{\n  \"figures\": [";
  for (size_t i = 0; i < figures.size(); ++i) {
    const Figure& f = figures[i];
    out += i == 0 ? "\n" : ",\n";
    out += "    {\"name\": " + JsonString(f.name) + ", \"label\": " + JsonString(f.label);
    out += ", \"value\": " + (f.measured ? JsonNumber(f.value) : std::string("null"));
    out += ", \"unit\": " + JsonString(f.unit);
    if (f.kind != TargetKind::kNone) {
      out += ", \"target_op\": " + JsonString(KindText(f.kind)) + ", \"target\": " + JsonNumber(f.target);
      out += ", \"target_text\": " + JsonString(f.targetText);
      out += std::string(", \"met\": ") + (f.Met() ? "true" : "false");
    }
    if (!f.note.empty()) out += ", \"note\": " + JsonString(f.note);
    out += "}";
  }
  out += "\n  ],\n  \"context\": {";
  for (size_t i = 0; i < context.size(); ++i) {
    out += i == 0 ? "\n" : ",\n";
    out += "    " + JsonString(context[i].first) + ": " + JsonString(context[i].second);
  }
  out += "\n  }\n}\n";
  return out;
}

void PrintFigures(const std::vector<Figure>& figures, int labelWidth, int targetWidth) {
  for (const Figure& f : figures) {
    char value[64];
    if (f.measured)
      snprintf(value, sizeof(value), "%.4g %s", f.value, f.unit.c_str());
    else
      snprintf(value, sizeof(value), "failed");
    const char* verdict = f.kind == TargetKind::kNone ? "" : (f.Met() ? "met" : "MISSED");
    printf("%-*s %14s  %-*s %s\n", labelWidth, f.label.c_str(), value, targetWidth, f.targetText.c_str(), verdict);
    if (!f.note.empty()) printf("    %s\n", f.note.c_str());
  }
}

Figure Measured(const std::string& name, const std::string& label, double value, const std::string& unit,
                const std::string& note) {
  Figure f;
  f.name = name;
  f.label = label;
  f.value = value;
  f.unit = unit;
  f.note = note;
  return f;
}

Figure Failed(const std::string& name, const std::string& label, const std::string& why) {
  Figure f;
  f.name = name;
  f.label = label;
  f.measured = false;
  f.note = why;
  return f;
}

}  // namespace wzbench
