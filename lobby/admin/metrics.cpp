#include "metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace lobby {

namespace {

std::string Number(double value) {
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  snprintf(text, sizeof text, "%.10g", value);
  return text;
}

// A label's value with backslash, quote and line end escaped, as the format says.
std::string LabelValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

Histogram::Histogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)), counts_(bounds_.size() + 1, 0) {}

void Histogram::Observe(double seconds) {
  size_t bucket = static_cast<size_t>(std::lower_bound(bounds_.begin(), bounds_.end(), seconds) -
                                      bounds_.begin());
  ++counts_[bucket];
  ++count_;
  sum_ += seconds;
}

uint64_t Histogram::AtMost(size_t i) const {
  uint64_t total = 0;
  for (size_t b = 0; b <= i && b < counts_.size(); ++b) total += counts_[b];
  return total;
}

void Exposition::Family(const std::string& name, const char* type, const std::string& help) {
  text_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Exposition::Sample(const std::string& name, double value, const Labels& labels) {
  text_ += name;
  if (!labels.empty()) {
    text_ += '{';
    for (size_t i = 0; i < labels.size(); ++i) {
      text_ += (i == 0 ? "" : ",") + labels[i].first + "=\"" + LabelValue(labels[i].second) + "\"";
    }
    text_ += '}';
  }
  text_ += " " + Number(value) + "\n";
}

void Exposition::Histogram(const std::string& name, const char* help,
                           const lobby::Histogram& histogram) {
  Family(name, "histogram", help);
  const std::vector<double>& bounds = histogram.Bounds();
  for (size_t i = 0; i < bounds.size(); ++i) {
    Sample(name + "_bucket", static_cast<double>(histogram.AtMost(i)), {{"le", Number(bounds[i])}});
  }
  Sample(name + "_bucket", static_cast<double>(histogram.Count()), {{"le", "+Inf"}});
  Sample(name + "_sum", histogram.Sum());
  Sample(name + "_count", static_cast<double>(histogram.Count()));
}

bool ReadProcessFigures(ProcessFigures* figures) {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) == 0) {
    figures->cpuSeconds =
        static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
    figures->maxDescriptors = static_cast<double>(limit.rlim_cur);
  std::ifstream statm("/proc/self/statm");
  double pages = 0;
  double resident = 0;
  if (!(statm >> pages >> resident)) return false;
  figures->residentBytes = resident * static_cast<double>(sysconf(_SC_PAGESIZE));
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return false;
  double open = 0;
  while (const dirent* entry = readdir(fds)) {
    if (entry->d_name[0] != '.') ++open;
  }
  closedir(fds);
  figures->openDescriptors = open - 1;  // not the one that read the folder
  return true;
}

}  // namespace lobby
