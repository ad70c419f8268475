#include "results.h"

#include <algorithm>
#include <cstdarg>
#include <fstream>
#include <map>
#include <sstream>

std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Tab-separated: name, unit, target, library, floor, ratio.
void WriteFigures(const std::vector<Figure>& figures, FILE* out) {
  for (const Figure& f : figures) {
    fprintf(out, "%s\t%s\t%s\t%.6g\t%.6g\t%.6g\n", f.name.c_str(), f.unit.c_str(), f.target.c_str(),
            f.library, f.floor, f.ratio);
  }
}

std::vector<Figure> ReadFigures(const std::string& path) {
  std::vector<Figure> figures;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    if (fields.size() != 6) continue;
    Figure f;
    f.name = fields[0];
    f.unit = fields[1];
    f.target = fields[2];
    f.library = atof(fields[3].c_str());
    f.floor = atof(fields[4].c_str());
    f.ratio = atof(fields[5].c_str());
    figures.push_back(f);
  }
  return figures;
}

std::vector<std::string> TableHeader() {
  return {
      "| Figure | Library | Floor (same run) | Ratio: median of runs (lowest-highest run) | "
      "Target |",
      "|---|---|---|---|---|"};
}

std::string TableRow(const std::string& figure, const std::string& library,
                     const std::string& floor, const std::string& ratio,
                     const std::string& target) {
  return "| " + figure + " | " + library + " | " + floor + " | " + ratio + " | " + target + " |";
}

static std::string Value(double v, const std::string& unit) {
  if (unit == "us") return Format("%.1f us", v);
  return Format("%.0f %s", v, unit.c_str());
}

std::vector<std::string> RowsOverRuns(const std::vector<std::vector<Figure>>& runs) {
  std::vector<std::string> order;
  std::map<std::string, std::vector<Figure>> byName;
  for (const std::vector<Figure>& run : runs) {
    for (const Figure& f : run) {
      if (byName[f.name].empty()) order.push_back(f.name);
      byName[f.name].push_back(f);
    }
  }
  // The library's and the floor's values are those of the run whose ratio is the median, so
  // that the three columns of a row belong together.
  std::vector<std::string> rows;
  for (const std::string& name : order) {
    std::vector<Figure> all = byName[name];
    std::sort(all.begin(), all.end(),
              [](const Figure& a, const Figure& b) { return a.ratio < b.ratio; });
    const Figure& middle = all[all.size() / 2];
    std::string ratioText =
        all.size() > 1 ? Format("%.3f (%.3f-%.3f, %d runs)", middle.ratio, all.front().ratio,
                                all.back().ratio, static_cast<int>(all.size()))
                       : Format("%.3f (1 run)", middle.ratio);
    rows.push_back(TableRow(name, Value(middle.library, middle.unit),
                            Value(middle.floor, middle.unit), ratioText, middle.target));
  }
  return rows;
}
