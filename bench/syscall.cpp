// The cost of one system call on this machine, for scale: a request's floor is four of them
// (two writes to the log file, one to the console, one send), so this figure tells how much
// of a request is the system's and how machines compare.
#include <sys/syscall.h>
#include <unistd.h>

#include "linux_figures.h"
#include "measure.h"
#include "results.h"

std::vector<std::string> SystemCallRows(bool quick) {
  const int calls = quick ? 2000 : 20000;
  std::vector<double> wall, cpu;
  for (int round = 0; round < 5; ++round) {
    int64_t wall0 = NowNs(), cpu0 = ThreadCpuNs();
    for (int i = 0; i < calls; ++i) syscall(SYS_getppid);
    cpu.push_back(static_cast<double>(ThreadCpuNs() - cpu0) / calls);
    wall.push_back(static_cast<double>(NowNs() - wall0) / calls);
  }
  return {TableRow(
      "One system call (getppid), for scale", "-",
      Format("%.0f ns (CPU time %.0f ns)", SpreadOf(wall).median, SpreadOf(cpu).median), "-", "-")};
}
