// orvo-convert: converts media files with the conversion engine, from the command line.
//
// Arguments are read left to right, the way the engine reads options:
//   -NAME VALUE   the engine option NAME with VALUE
//   -NAME         an option whose value is a Boolean, a flag or ignored (-vn, -an, -y, -shortest,
//                 ...): turned on; a following 0 or 1 is taken as its value
//   -i FILE       opens an input file with the options given so far
//   -join         the next output file joins every input, one after another
//   FILE          any other argument creates an output file with the options given so far
// The conversion starts after the last argument. Progress goes to standard error: one line
// rewritten in place on a terminal, one line per report otherwise. Ctrl+C stops the conversion
// (the output stays a valid file).
//
// Exit status: 0 finished, 1 failed (the reason on standard error), 2 bad usage, 130 stopped.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/display_helpers.h"
#include "engine/ConvertThread.h"
#include "engine/FFmpeg.h"
#include "platform/main_thread.h"

namespace {

using namespace orvo;

std::atomic<bool> gInterrupted{false};

void OnInterrupt(int) { gInterrupted = true; }

const char kUsage[] =
    "usage: orvo-convert [options] -i INPUT [[options] -i INPUT ...] [options] [-join] OUTPUT "
    "...\n"
    "\n"
    "  -NAME VALUE  sets the conversion option NAME (for example -vcodec libx264, -ab 128000,\n"
    "               -s 320x240, -r 25, -ar 44100, -t 10, -ss 5, -f flv, -vpre medium)\n"
    "  -NAME        turns on an option that needs no value (-vn, -an, -sn, -y, -shortest,\n"
    "               -deinterlace, -copyts, ...)\n"
    "  -i FILE      opens an input file with the options given before it\n"
    "  -join        makes the next output file join every input, one after another\n"
    "  FILE         creates an output file with the options given before it\n"
    "  --help       shows this text\n"
    "\n"
    "Progress is shown on standard error. Ctrl+C stops the conversion; the output stays a\n"
    "valid file. Exit status: 0 finished, 1 failed, 2 bad usage, 130 stopped.\n";

bool IsInteger(const std::string& text) {
  if (text.empty()) return false;
  size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

class TProgressLine {
 public:
  explicit TProgressLine(bool terminal) : terminal_(terminal) {}

  void Show(const TProgressInfo& info) {
    std::string line;
    char part[96];
    if (info.Frame >= 0) {
      std::snprintf(part, sizeof part, "frame=%5d fps=%3d q=%4.1f ", info.Frame, info.Fps,
                    double(info.Quality));
      line += part;
    }
    std::snprintf(part, sizeof part, "size=%8.0fkB time=%s bitrate=%6.1fkbits/s",
                  double(info.Size) / 1024, FormatClock(info.Time).c_str(), double(info.BitRate));
    line += part;
    if (info.Total > 0) {
      const double percent = std::min(100.0, 100.0 * double(info.Time) / double(info.Total));
      std::snprintf(part, sizeof part, " %5.1f%%", percent);
      line += part;
    }
    if (terminal_) {
      // Rewrites the line; blanks cover a longer line shown before.
      const size_t width = line.size();
      if (line.size() < lastWidth_) line.append(lastWidth_ - line.size(), ' ');
      lastWidth_ = width;
      std::fprintf(stderr, "\r%s", line.c_str());
    } else {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::fflush(stderr);
    shown_ = true;
  }

  void End() {
    if (terminal_ && shown_) std::fputc('\n', stderr);
    shown_ = false;
  }

 private:
  bool terminal_;
  bool shown_ = false;
  size_t lastWidth_ = 0;
};

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  SetMainThread();
  FFLoader().LoadLibraries(ConverterLibraries + TLibrarySet{liAVDevice});
  // Warnings and errors of the engine and the libraries go to standard error as they come.
  Logger().TriggerEventInMainThread = false;
  Logger().SetLogLevel(llWarning);
  TProgressLine progress(isatty(STDERR_FILENO) != 0);
  // The task's failure is logged where it is raised and again when it is recorded; it is shown
  // once, and not repeated at the end.
  std::mutex logLock;
  std::string lastLogged;
  Logger().OnLog = [&](const void*, uint32_t, TLogLevel level, const std::string& text) {
    if (level > llWarning) return;
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::lock_guard<std::mutex> lock(logLock);
    if (line.empty() || (level == llQuiet && line == lastLogged)) return;
    progress.End();
    std::fprintf(stderr, "%s\n", line.c_str());
    lastLogged = line;
  };

  TCustomFFmpeg engine;
  bool join = false;
  try {
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& arg = args[i];
      if (arg == "-join") {
        join = true;
      } else if (arg == "-i") {
        if (i + 1 >= args.size()) {
          std::fputs("orvo-convert: -i needs a file name\n", stderr);
          return 2;
        }
        const std::string& name = args[++i];
        if (!engine.OpenInputFile(name)) {
          std::fprintf(stderr, "%s\n", engine.LastErrorText().c_str());
          return 1;
        }
      } else if (arg.size() > 1 && arg[0] == '-') {
        const std::string name(arg, 1);
        // A switch takes the next argument only when it is a number (-shortest 0).
        const bool isSwitch = TCustomFFmpeg::IsSwitchOption(name);
        const bool takesNext = i + 1 < args.size() && (!isSwitch || IsInteger(args[i + 1]));
        if (!isSwitch && !takesNext) {
          std::fprintf(stderr, "orvo-convert: -%s needs a value\n", name.c_str());
          return 2;
        }
        const std::string value = takesNext ? args[++i] : std::string(1, '1');
        engine.DispatchOption(name, value);
      } else {
        if (engine.OpenOutputFile(arg, join) < 0) {
          std::fprintf(stderr, "%s\n", engine.LastErrorText().c_str());
          return 1;
        }
        join = false;
      }
    }
  } catch (const FFmpegException& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }

  engine.OnProgress = [&](TCustomFFmpeg&, const TProgressInfo& info) {
    RunInMainThread([&] {
      std::lock_guard<std::mutex> lock(logLock);
      progress.Show(info);
    });
  };
  std::atomic<bool> ended{false};
  engine.OnTerminate = [&ended](TCustomFFmpeg&) {
    ended = true;
    WakeMainThreadWait();
  };
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);

  TConvertThread* worker = engine.StartConvert(true, TThreadPriority::tpNormal);
  if (worker) {
    worker->Start();
    bool stopping = false;
    while (!ended) {
      WaitProcessingCalls([&] { return ended.load() || (gInterrupted && !stopping); },
                          std::chrono::milliseconds(100));
      if (gInterrupted && !stopping) {
        stopping = true;
        engine.StopConvert(true);
      }
    }
    engine.StopConvert(true);  // joins the worker
  }
  ProcessPendingCalls();
  progress.End();
  if (engine.Error()) {
    const std::string text = engine.ErrorText();
    std::lock_guard<std::mutex> lock(logLock);
    if (text != lastLogged) std::fprintf(stderr, "%s\n", text.c_str());
    return 1;
  }
  if (gInterrupted || !engine.Finished()) return 130;
  return 0;
}
