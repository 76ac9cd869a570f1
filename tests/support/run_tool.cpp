#include "support/run_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/test_media.h"

extern char** environ;

namespace orvo::testing {
namespace {

using namespace std::chrono_literals;

// A terminal for the tool's standard error, passing bytes through unchanged.
struct Terminal {
  int master = -1;
  int slave = -1;
  bool Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios mode{};
    if (slave < 0 || tcgetattr(slave, &mode) != 0) return false;
    mode.c_oflag &= ~tcflag_t(OPOST);
    fcntl(master, F_SETFL, O_NONBLOCK);
    return tcsetattr(slave, TCSANOW, &mode) == 0;
  }
  void Drain(std::string& into) const {
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) into.append(buffer, size_t(n));
  }
  ~Terminal() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

}  // namespace

ToolRun RunTool(const std::string& program, const std::vector<std::string>& args,
                const std::function<void(pid_t, const std::string&)>& watch, bool terminal) {
  static int runs = 0;
  const std::string base = MediaPath("tool-run-" + std::to_string(++runs));
  const std::string outPath = base + ".out", errPath = base + ".err";

  Terminal tty;
  std::string ttyText;
  if (terminal && !tty.Open()) {
    ADD_FAILURE() << "no terminal";
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (terminal)
    posix_spawn_file_actions_adddup2(&actions, tty.slave, STDERR_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> argvText{program};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);

  ToolRun run;
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << program;
    return run;
  }
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 || std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "the tool did not finish in time";
      return run;
    }
    if (terminal) tty.Drain(ttyText);
    if (watch) watch(pid, terminal ? ttyText : ReadBytes(errPath));
    std::this_thread::sleep_for(10ms);
  }
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  run.out = ReadBytes(outPath);
  if (terminal) tty.Drain(ttyText);
  run.err = terminal ? ttyText : ReadBytes(errPath);
  return run;
}

}  // namespace orvo::testing
