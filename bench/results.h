// Figures and the table they are printed in. A measuring run writes its figures to a file,
// one per line; the table gathers the files of several runs (Linux and Wine) and shows for
// each figure the run with the median ratio, with the lowest and the highest run's ratio.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// One figure of one run: the library's value and the floor's value, measured in the same run,
// and their ratio (for request cost the median of the ratios of the run's rounds).
struct Figure {
  std::string name;    // what is measured and where, such as "Request cost, RLSendVote (Linux)"
  std::string unit;    // "ns", "us" or "/s"
  std::string target;  // "<= 1.05", or "-" where there is none
  double library = 0, floor = 0, ratio = 0;
};

void WriteFigures(const std::vector<Figure>& figures, FILE* out);
// The figures of a file that WriteFigures wrote; empty when it can't be read.
std::vector<Figure> ReadFigures(const std::string& path);

// One table row per figure name, in the order in which the names first appear.
std::vector<std::string> RowsOverRuns(const std::vector<std::vector<Figure>>& runs);

// The table's header lines, and one row of it.
std::vector<std::string> TableHeader();
std::string TableRow(const std::string& figure, const std::string& library,
                     const std::string& floor, const std::string& ratio, const std::string& target);

std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
