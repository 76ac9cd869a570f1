#pragma once
// Runs one of the project's command-line programs as its own process, the way a user would.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace orvo::testing {

struct ToolRun {
  int exitCode = -1;  // -1: killed or did not finish
  int signal = 0;     // the signal that ended it, 0 when it exited
  std::string out;
  std::string err;
};

// Runs `program` with `args`: no input, standard output and error in files of the media folder
// (standard error on a terminal when `terminal`). `watch` is called every few milliseconds with
// the process id and the standard error written so far. A run that takes more than a minute is
// killed and reported as a test failure.
ToolRun RunTool(const std::string& program, const std::vector<std::string>& args,
                const std::function<void(pid_t, const std::string&)>& watch = {},
                bool terminal = false);

}  // namespace orvo::testing
