// orvo-convert: converts media files with the task list component, from the command line.
//
// Arguments are read left to right:
//   -NAME VALUE   the conversion option NAME with VALUE
//   -NAME         an option whose value is a Boolean, a flag or ignored (-vn, -an, -y, -shortest,
//                 ...): turned on; a following 0 or 1 is taken as its value
//   -i FILE       an input file; the options before the first one are the input's, later ones
//                 belong to the next input or output
//   -join         the next output file joins every input of the task, one after another
//   FILE          any other argument is an output file with the options given since the last file
// The options go into the task records' extra options, so the command line takes the same path
// as the program. With --jobs N, groups of "-i FILE ... OUTPUT" separated by "--" are tasks of
// their own, N of them converting at once.
//
// Progress goes to standard error: a line per task, rewritten in place on a terminal, one line
// per report otherwise. Ctrl+C stops the conversion (the outputs stay valid files).
//
// Exit status: 0 finished, 1 failed (the reason on standard error), 2 bad usage, 130 stopped.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <QGuiApplication>
#include <cmath>
#include <filesystem>
#include <limits>

#include "app/BatchConversion.h"
#include "app/FileList.h"
#include "app/GlobalUnit.h"
#include "app/ProfileCatalogue.h"
#include "app/ProfileEditor.h"
#include "app/SettingsStore.h"
#include "app/WaterMark.h"
#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/display_helpers.h"
#include "component/FFmpegVCL.h"
#include "platform/main_thread.h"

namespace {

using namespace orvo;

std::atomic<bool> gInterrupted{false};

void OnInterrupt(int) { gInterrupted = true; }

const char kUsage[] =
    "usage: orvo-convert [--jobs N] [options] -i INPUT [[options] -i INPUT ...] [options] "
    "[-join] OUTPUT ... [-- [options] -i INPUT ... OUTPUT ...]\n"
    "\n"
    "  -NAME VALUE  sets the conversion option NAME (for example -vcodec libx264, -ab 128000,\n"
    "               -s 320x240, -r 25, -ar 44100, -t 10, -ss 5, -f flv, -vpre medium)\n"
    "  -NAME        turns on an option that needs no value (-vn, -an, -sn, -y, -shortest,\n"
    "               -deinterlace, -copyts, ...)\n"
    "  -i FILE      opens an input file with the options given before it\n"
    "  -join        makes the next output file join every input, one after another\n"
    "  FILE         creates an output file with the options given before it\n"
    "  --           starts the next task\n"
    "  --jobs N     converts N tasks at once (default 1)\n"
    "  --help       shows this text\n"
    "\n"
    "Profile mode converts files as the program's Start does, with the stored settings:\n"
    "  orvo-convert --profile CODE [--outdir DIR] [--jobs N] [--zoom full|lbox|pan]\n"
    "               [--trim START,LENGTH] [--crop TOP,LEFT,BOTTOM,RIGHT]\n"
    "               [--watermark-text TEXT] [--watermark-image FILE.bmp] [--watermark-at X,Y]\n"
    "               [--watermark-window START,END] [--brightness 0..512] [--contrast -100..100]\n"
    "               [--saturation 0..512] [--exposure -255..512] FILE...\n"
    "  CODE is a profile code (0, 1, 100..109, 200..206); --outdir stores the output folder\n"
    "  first; times in seconds, crop and positions in source pixels; the watermark window in\n"
    "  whole seconds (default the whole file). Neutral values: brightness 255, contrast 0,\n"
    "  saturation 255, exposure 0.\n"
    "\n"
    "Progress is shown on standard error, a line per task. Ctrl+C stops the conversion; the\n"
    "outputs stay valid files. Exit status: 0 finished, 1 failed, 2 bad usage, 130 stopped.\n";

bool IsInteger(const std::string& text) {
  if (text.empty()) return false;
  size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// Starts the tasks, `jobs` at a time, and serves the main thread's calls until `ended` is set
// by the run's end event. Ctrl+C stops the conversion once.
void RunTasks(TFFmpegVCL& converter, int jobs, const std::atomic<bool>& ended) {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  converter.StartTask(jobs);
  bool stopping = false;
  while (!ended) {
    WaitProcessingCalls([&] { return ended.load() || (gInterrupted && !stopping); },
                        std::chrono::milliseconds(100));
    if (gInterrupted && !stopping) {
      stopping = true;
      converter.StopTask(true);
    }
  }
  ProcessPendingCalls();
}

// One progress line per task: rewritten in place on a terminal, appended otherwise.
class TProgressLines {
 public:
  TProgressLines(bool terminal, int tasks) : terminal_(terminal), lines_(size_t(tasks)) {}

  void Show(const TProgressInfo& info) {
    std::string line;
    char part[96];
    if (lines_.size() > 1) {
      std::snprintf(part, sizeof part, "[%d] ", info.TaskIndex + 1);
      line += part;
    }
    if (info.FrameNumber >= 0) {
      std::snprintf(part, sizeof part, "frame=%5d fps=%3d q=%4.1f ", info.FrameNumber, info.FPS,
                    double(info.Quality));
      line += part;
    }
    std::snprintf(part, sizeof part, "size=%8.0fkB time=%s bitrate=%6.1fkbits/s",
                  double(info.CurrentSize) / 1024, FormatClock(info.CurrentDuration).c_str(),
                  double(info.BitRate));
    line += part;
    if (info.TotalDuration > 0) {
      const double percent =
          std::min(100.0, 100.0 * double(info.CurrentDuration) / double(info.TotalDuration));
      std::snprintf(part, sizeof part, " %5.1f%%", percent);
      line += part;
    }
    if (!terminal_) {
      std::fprintf(stderr, "%s\n", line.c_str());
    } else {
      const size_t index = std::min(size_t(std::max(info.TaskIndex, 0)), lines_.size() - 1);
      lines_[index] = line;
      Redraw();
    }
    std::fflush(stderr);
  }

  // Leaves the lines shown as they are; what is printed next goes below them.
  void End() {
    if (terminal_ && drawn_ > 0) std::fputc('\n', stderr);
    drawn_ = 0;
  }

 private:
  void Redraw() {
    // Back to the first line drawn, then every line again (blanks cover longer old text).
    if (drawn_ > 1) std::fprintf(stderr, "\x1b[%dA", drawn_ - 1);
    std::fputc('\r', stderr);
    int count = 0;
    for (const std::string& line : lines_) {
      if (line.empty() && count == 0) continue;
      if (count > 0) std::fputc('\n', stderr);
      std::fprintf(stderr, "%s\x1b[K", line.c_str());
      ++count;
    }
    drawn_ = count;
  }

  bool terminal_;
  std::vector<std::string> lines_;
  int drawn_ = 0;
};

struct TTaskArgs {
  std::vector<std::pair<std::string, TInputOptions>> Inputs;
  std::vector<std::pair<std::string, TOutputOptions>> Outputs;
};

// Reads one task's arguments. False with the message for bad usage.
bool ReadTask(const std::vector<std::string>& args, TTaskArgs& task, std::string& error) {
  std::string pending;  // extra options lines since the last file
  bool join = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-join") {
      join = true;
    } else if (arg == "-i") {
      if (i + 1 >= args.size()) {
        error = "-i needs a file name";
        return false;
      }
      TInputOptions input;
      input.ExtOptions = pending;
      pending.clear();
      task.Inputs.emplace_back(args[++i], input);
    } else if (arg.size() > 1 && arg[0] == '-') {
      const std::string name(arg, 1);
      // A switch takes the next argument only when it is a number (-shortest 0).
      const bool isSwitch = TCustomFFmpeg::IsSwitchOption(name);
      const bool takesNext = i + 1 < args.size() && (!isSwitch || IsInteger(args[i + 1]));
      if (!isSwitch && !takesNext) {
        error = "-" + name + " needs a value";
        return false;
      }
      const std::string value = takesNext ? args[++i] : std::string(1, '1');
      if (value.find_first_of("\r\n") != std::string::npos || name.find('=') != std::string::npos) {
        error = "-" + name + ": a value cannot hold a line break";
        return false;
      }
      pending += name + "=" + value + "\n";
    } else {
      TOutputOptions output;
      output.ExtOptions = pending;
      output.Join = join;
      pending.clear();
      join = false;
      task.Outputs.emplace_back(arg, output);
    }
  }
  if (task.Inputs.empty()) {
    error = "At least one input file must be specified";
    return false;
  }
  return true;
}


// ---------------------------------------------------------------------------------------------
// Profile mode: the program's Start on the stored settings, with the edits of its dialogs given
// for the whole batch.

struct TProfileArgs {
  int Code = -1;
  std::string OutDir;
  int Jobs = 1;
  std::string Zoom;
  int64_t TrimStart = 0, TrimLength = 0;
  int Crop[4] = {0, 0, 0, 0};  // top, left, bottom, right
  std::string WatermarkText;
  std::string WatermarkImage;
  int WatermarkX = 10, WatermarkY = 10;
  int WindowStart = 0, WindowEnd = std::numeric_limits<int32_t>::max();
  int Brightness = kNeutralBrightness, Contrast = kNeutralContrast;
  int Saturation = kNeutralSaturation, Exposure = kNeutralExposure;
  std::vector<std::string> Files;
};

// Comma-separated numbers; false unless there are exactly `count` of them.
bool ReadNumbers(const std::string& text, size_t count, std::vector<double>& values) {
  values.clear();
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos
                                                                            : comma - start);
    char* end = nullptr;
    const double value = std::strtod(part.c_str(), &end);
    if (part.empty() || end != part.c_str() + part.size() || !std::isfinite(value)) return false;
    values.push_back(value);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return values.size() == count;
}

bool ReadRanged(const std::string& text, int low, int high, int& value) {
  if (!IsInteger(text)) return false;
  const long parsed = std::strtol(text.c_str(), nullptr, 10);
  if (parsed < low || parsed > high) return false;
  value = static_cast<int>(parsed);
  return true;
}

bool ReadProfileArgs(const std::vector<std::string>& args, TProfileArgs& out, std::string& error) {
  std::vector<double> numbers;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      out.Files.push_back(arg);
      continue;
    }
    if (i + 1 >= args.size()) {
      error = arg + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    bool ok = true;
    if (arg == "--profile") {
      ok = IsInteger(value) && !ProfileDisplayName(std::atoi(value.c_str())).empty();
      if (ok) out.Code = std::atoi(value.c_str());
    } else if (arg == "--outdir") {
      out.OutDir = value;
      ok = !value.empty();
    } else if (arg == "--jobs") {
      ok = ReadRanged(value, 1, 64, out.Jobs);
    } else if (arg == "--zoom") {
      out.Zoom = value;
      ok = value == "full" || value == "lbox" || value == "pan";
    } else if (arg == "--trim") {
      ok = ReadNumbers(value, 2, numbers) && numbers[0] >= 0 && numbers[1] >= 0 &&
           numbers[0] < 1e9 && numbers[1] < 1e9;
      if (ok) {
        out.TrimStart = std::llround(numbers[0] * 1e6);
        out.TrimLength = std::llround(numbers[1] * 1e6);
      }
    } else if (arg == "--crop") {
      ok = ReadNumbers(value, 4, numbers);
      for (size_t k = 0; ok && k < 4; ++k) {
        ok = numbers[k] >= 0 && numbers[k] <= 65536 && numbers[k] == std::floor(numbers[k]);
        // Margins are even, as the crop dialog makes them.
        if (ok) out.Crop[k] = static_cast<int>(numbers[k]) / 2 * 2;
      }
    } else if (arg == "--watermark-text") {
      out.WatermarkText = value;
    } else if (arg == "--watermark-image") {
      out.WatermarkImage = value;
      ok = !value.empty();
    } else if (arg == "--watermark-at") {
      ok = ReadNumbers(value, 2, numbers) && std::fabs(numbers[0]) < 65536 &&
           std::fabs(numbers[1]) < 65536;
      if (ok) {
        out.WatermarkX = static_cast<int>(numbers[0]);
        out.WatermarkY = static_cast<int>(numbers[1]);
      }
    } else if (arg == "--watermark-window") {
      ok = ReadNumbers(value, 2, numbers) && numbers[0] >= 0 && numbers[1] >= numbers[0] &&
           numbers[1] < 1e9;
      if (ok) {
        out.WindowStart = static_cast<int>(numbers[0]);
        out.WindowEnd = static_cast<int>(numbers[1]);
      }
    } else if (arg == "--brightness") {
      ok = ReadRanged(value, 0, 512, out.Brightness);
    } else if (arg == "--contrast") {
      ok = ReadRanged(value, -100, 100, out.Contrast);
    } else if (arg == "--saturation") {
      ok = ReadRanged(value, 0, 512, out.Saturation);
    } else if (arg == "--exposure") {
      ok = ReadRanged(value, -255, 512, out.Exposure);
    } else {
      error = "unknown option " + arg;
      return false;
    }
    if (!ok) {
      error = "bad value for " + arg + ": " + value;
      return false;
    }
  }
  if (out.Code < 0) {
    error = "--profile needs one of the profile codes 0, 1, 100..109, 200..206";
    return false;
  }
  if (out.Files.empty()) {
    error = "no file to convert";
    return false;
  }
  return true;
}

// The watermark items and adjustments of the arguments, as the watermark dialog stores them.
void ApplyEdits(const TProfileArgs& args, TlvFilesRecord& record) {
  record.TrimStart = args.TrimStart;
  record.TrimLength = args.TrimLength;
  record.CropTop = args.Crop[0];
  record.CropLeft = args.Crop[1];
  record.CropBottom = args.Crop[2];
  record.CropRight = args.Crop[3];
  record.Brightness = args.Brightness;
  record.Contrast = args.Contrast;
  record.Saturation = args.Saturation;
  record.Exposure = args.Exposure;
  // The image first, so that a text placed at the same point stays readable over it.
  if (!args.WatermarkImage.empty()) {
    auto item = std::make_unique<TWmRec>();
    item->Kind = 1;
    item->ImageFile = args.WatermarkImage;
    item->ImageLeft = args.WatermarkX;
    item->ImageTop = args.WatermarkY;
    item->StartSec = args.WindowStart;
    item->EndSec = args.WindowEnd;
    record.WaterMarks.push_back(std::move(item));
  }
  if (!args.WatermarkText.empty()) {
    auto item = std::make_unique<TWmRec>();
    item->Kind = 0;
    item->Text = args.WatermarkText;
    item->Font.Size = 16;
    item->Font.Bold = true;
    item->Font.Color = 0xFFFFFF;
    TextExtent(item->Font, item->Text, item->TextWidth, item->TextHeight);
    item->TextLeft = args.WatermarkX;
    item->TextTop = args.WatermarkY;
    item->StartSec = args.WindowStart;
    item->EndSec = args.WindowEnd;
    record.WaterMarks.push_back(std::move(item));
  }
}

int RunProfileMode(int argc, char* argv[]) {
  std::vector<std::string> argList(argv + 1, argv + argc);
  TProfileArgs args;
  std::string error;
  if (!ReadProfileArgs(argList, args, error)) {
    std::fprintf(stderr, "orvo-convert: %s\n", error.c_str());
    return 2;
  }
  // Text watermarks are drawn with Qt's painter, which needs the application object; the
  // offscreen platform needs no display.
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // Qt's notes about the session (runtime folder, fonts) are no concern of a converter; only its
  // errors are shown.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
      std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
  });
  QGuiApplication application(argc, argv);
  SetMainThread();

  if (!args.WatermarkImage.empty()) {
    TBitmap image;
    try {
      LoadBmp24(args.WatermarkImage, image);
    } catch (const std::exception& failure) {
      std::fprintf(stderr, "orvo-convert: %s\n", failure.what());
      return 2;
    }
  }

  TGlobalObject globals;
  globals.InitPaths();
  WriteFirstStartSettings(globals.SettingsFile(), globals.FormatFile());
  if (!args.OutDir.empty()) {
    std::error_code ec;
    const std::string absolute = std::filesystem::absolute(args.OutDir, ec).string();
    TIniFile(globals.SettingsFile()).WriteString(kSettingsSection, "OutPutDir",
                                                 ec ? args.OutDir : absolute);
  }

  TFFmpegVCL converter;
  if (!converter.LoadAVLib()) {
    std::fprintf(stderr, "%s\n", converter.LastErrMsg().c_str());
    return 1;
  }
  Logger().TriggerEventInMainThread = false;
  Logger().SetLogLevel(llError);
  std::mutex printLock;
  TProgressLines progress(isatty(STDERR_FILENO) != 0, int(args.Files.size()));
  auto print = [&](const std::string& text) {
    std::lock_guard<std::mutex> lock(printLock);
    progress.End();
    std::fprintf(stderr, "%s\n", text.c_str());
  };

  // The rows as the file list's Add makes them, with the edits of the arguments.
  TFileList files;
  TUserPrompts prompts;
  prompts.Warn = [&](const std::string& caption, const std::string& text) {
    print(caption + ": " + text);
  };
  prompts.AskYesNo = [&](const std::string& caption, const std::string& text) {
    print(caption + ": " + text + " Yes");
    return true;
  };
  bool failed = false;
  for (const std::string& file : args.Files) {
    std::error_code ec;
    const std::string path = std::filesystem::absolute(file, ec).string();
    if (ec || !std::filesystem::is_regular_file(path, ec)) {
      print("Cannot open " + file + ": no such file");
      failed = true;
      continue;
    }
    const int row = files.AddRow(path, std::string(), -1, args.Zoom);
    ApplyEdits(args, files.Record(row));
  }

  std::atomic<bool> ended{false};
  std::atomic<int> finished{0};
  TBatchCallbacks callbacks;
  callbacks.Prompts = prompts;
  callbacks.Progress = [&](const TProgressView&) {};
  callbacks.TaskEnded = [&](int row, const TTerminateInfo& info) {
    if (info.Finished) {
      ++finished;
      return;
    }
    failed = true;
    print(files.Row(row).Caption + ": " +
          (info.ExceptionMsg.empty() ? std::string("stopped") : info.ExceptionMsg));
  };
  callbacks.RunEnded = [&] {
    ended = true;
    WakeMainThreadWait();
  };
  TBatchConversion batch(converter, files, globals.SettingsFile(), globals.FormatFile(),
                         std::move(callbacks));
  batch.ProfileCodeOverride = args.Code;
  batch.ZoomOverride = args.Zoom;
  if (files.Empty() || !batch.Prepare()) return 1;
  if (batch.CheckedCount() < files.Count()) failed = true;  // rows skipped with their message

  // Progress lines carry the engine's figures; the batch keeps the list's columns.
  converter.OnProgress = [&, handler = converter.OnProgress](TCustomFFmpegVCL& sender,
                                                             TProgressInfo* info) {
    if (handler) handler(sender, info);
    std::lock_guard<std::mutex> lock(printLock);
    progress.Show(*info);
  };
  RunTasks(converter, args.Jobs, ended);
  {
    std::lock_guard<std::mutex> lock(printLock);
    progress.End();
  }
  for (int t = 0; t < batch.CheckedCount(); ++t) {
    const TFileRow& row = files.Row(batch.TaskRows()[t]);
    if (row.Progress == "100%") std::fprintf(stdout, "%s\n", row.Caption.c_str());
  }
  if (gInterrupted) return 130;
  return failed || finished.load() < batch.CheckedCount() ? 1 : 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  for (const std::string& arg : args) {
    if (arg == "--profile") return RunProfileMode(argc, argv);
  }
  int jobs = 1;
  if (args.size() >= 2 && args[0] == "--jobs") {
    if (!IsInteger(args[1]) || std::atoi(args[1].c_str()) < 1) {
      std::fputs("orvo-convert: --jobs needs a number of at least 1\n", stderr);
      return 2;
    }
    jobs = std::atoi(args[1].c_str());
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // Tasks are separated by "--".
  std::vector<TTaskArgs> tasks;
  {
    std::vector<std::vector<std::string>> groups(1);
    for (const std::string& arg : args) {
      if (arg == "--")
        groups.emplace_back();
      else
        groups.back().push_back(arg);
    }
    for (const auto& group : groups) {
      TTaskArgs task;
      std::string error;
      if (!ReadTask(group, task, error)) {
        std::fprintf(stderr, "orvo-convert: %s\n", error.c_str());
        return 2;
      }
      tasks.push_back(std::move(task));
    }
  }

  SetMainThread();
  TFFmpegVCL converter;
  if (!converter.LoadAVLib()) {
    std::fprintf(stderr, "%s\n", converter.LastErrMsg().c_str());
    return 1;
  }
  FFLoader().LoadLibraries(TLibrarySet{liAVDevice});  // device and lavfi inputs
  // Warnings and errors of the engine and the libraries go to standard error as they come.
  Logger().TriggerEventInMainThread = false;
  Logger().SetLogLevel(llWarning);
  TProgressLines progress(isatty(STDERR_FILENO) != 0, int(tasks.size()));
  // A task's failure is logged where it is raised and again when it is recorded; it is shown
  // once, and not repeated at the end.
  std::mutex printLock;
  std::string lastLogged;
  auto print = [&](const std::string& text) {
    std::lock_guard<std::mutex> lock(printLock);
    if (text.empty() || text == lastLogged) return;
    progress.End();
    std::fprintf(stderr, "%s\n", text.c_str());
    lastLogged = text;
  };
  Logger().OnLog = [&](const void*, uint32_t, TLogLevel level, const std::string& text) {
    if (level > llWarning) return;
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    print(line);
  };

  for (TTaskArgs& task : tasks) {
    auto& [firstName, firstOptions] = task.Inputs.front();
    const int index = converter.AddTask(firstName, &firstOptions);
    if (index < 0) {
      print(converter.LastErrMsg());
      return 1;
    }
    // Further inputs of the task (joined or mapped) go through the same record path.
    TFFmpeg& engine = *converter.Task(index);
    for (size_t i = 1; i < task.Inputs.size(); ++i) {
      try {
        ApplyInputOptions(engine, task.Inputs[i].second);
      } catch (const std::exception& error) {
        print(error.what());
        return 1;
      }
      if (!engine.OpenInputFile(task.Inputs[i].first)) {
        print(engine.LastErrorText());
        return 1;
      }
      engine.AttachProbeToLastInput();
    }
    for (auto& [name, options] : task.Outputs) {
      if (!converter.SetOutputFile(index, name, &options)) {
        print(converter.LastErrMsg());
        return 1;
      }
    }
  }

  converter.OnProgress = [&](TCustomFFmpegVCL&, TProgressInfo* info) {
    std::lock_guard<std::mutex> lock(printLock);
    progress.Show(*info);
  };
  std::atomic<bool> ended{false};
  std::atomic<bool> failed{false};
  std::atomic<bool> stopped{false};
  converter.OnTerminate = [&](TCustomFFmpegVCL&, const TTerminateInfo& info) {
    if (info.TaskIndex < 0) {
      ended = true;
      WakeMainThreadWait();
      return;
    }
    if (info.Exception) {
      failed = true;
      print(info.ExceptionMsg);
    } else if (!info.Finished) {
      stopped = true;
    }
  };
  RunTasks(converter, jobs, ended);
  {
    std::lock_guard<std::mutex> lock(printLock);
    progress.End();
  }
  // The component's end threads have told everything once its tasks are cleared.
  converter.ClearTasks();
  if (failed) return 1;
  if (gInterrupted || stopped) return 130;
  return 0;
}
