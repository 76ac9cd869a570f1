// orvo-play: plays a media file with the player component, for trying it from the command line.
//
//   orvo-play [--no-display] [--mute] [--volume N] [--seek SECONDS] [--for SECONDS] FILE
//
// The pictures go to a window of its own (with --no-display, nowhere). Every event of the player
// is printed on standard output, one line each:
//   open DURATION_US WIDTH HEIGHT
//   state play|pause|resume|end|stop
//   position US
// Exit status: 0 after the end of the file or after --for seconds of playing, 1 with the player's
// error on standard error when the file cannot be opened, 2 bad usage.
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#ifdef ORVO_PLAY_WINDOW
#include <QApplication>
#include <QTimer>

#include "app/PlayerSurface.h"
#include "app/main_thread_qt.h"
#endif

#include "binding/FFmpegLogger.h"
#include "component/FFPlay.h"
#include "platform/main_thread.h"

namespace {

using namespace orvo;

const char kUsage[] =
    "usage: orvo-play [--no-display] [--mute] [--volume N] [--seek SECONDS] [--for SECONDS] FILE\n"
    "\n"
    "  --no-display    play without a window\n"
    "  --mute          play silence (the position still advances)\n"
    "  --volume N      mixing volume 0..128 (128: unchanged)\n"
    "  --seek SECONDS  start at this position\n"
    "  --for SECONDS   stop after this long\n"
    "\n"
    "Prints one line per event: \"open DURATION_US WIDTH HEIGHT\", \"state play|pause|resume|end|"
    "stop\",\n\"position US\". Exit status: 0 at the end of the file or after --for, 1 when the "
    "file cannot be\nopened, 2 bad usage.\n";

struct TArgs {
  bool NoDisplay = false;
  bool Mute = false;
  int Volume = 128;
  double Seek = -1;
  double For = -1;
  std::string File;
};

bool ReadSeconds(const std::string& text, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && std::isfinite(value) && value >= 0;
}

bool ReadArgs(int argc, char* argv[], TArgs& args, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--no-display") {
      args.NoDisplay = true;
    } else if (arg == "--mute") {
      args.Mute = true;
    } else if (arg == "--volume") {
      if (!value(text)) return false;
      char* end = nullptr;
      const long volume = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || volume < 0 || volume > 128) {
        error = "--volume takes 0..128";
        return false;
      }
      args.Volume = int(volume);
    } else if (arg == "--seek" || arg == "--for") {
      if (!value(text)) return false;
      double seconds = 0;
      if (!ReadSeconds(text, seconds)) {
        error = arg + " takes seconds";
        return false;
      }
      (arg == "--seek" ? args.Seek : args.For) = seconds;
    } else if (arg.rfind("--", 0) == 0 || !args.File.empty()) {
      error = "unexpected argument " + arg;
      return false;
    } else {
      args.File = arg;
    }
  }
  if (args.File.empty()) {
    error = "no file";
    return false;
  }
  return true;
}

const char* StateName(TPlayState state) {
  switch (state) {
    case TPlayState::psPlay: return "play";
    case TPlayState::psPause: return "pause";
    case TPlayState::psResume: return "resume";
    case TPlayState::psStep: return "step";
    case TPlayState::psStop: return "stop";
    case TPlayState::psEnd: return "end";
  }
  return "?";
}

std::atomic<bool> gInterrupted{false};
void OnInterrupt(int) { gInterrupted = true; }

}  // namespace

int main(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  TArgs args;
  std::string error;
  if (!ReadArgs(argc, argv, args, error)) {
    std::fprintf(stderr, "orvo-play: %s\n%s", error.c_str(), kUsage);
    return 2;
  }

#ifdef ORVO_PLAY_WINDOW
  std::unique_ptr<QApplication> application;
  std::unique_ptr<TPlayerSurfaceWidget> window;
  if (!args.NoDisplay) {
    application = std::make_unique<QApplication>(argc, argv);
    InstallMainThreadQueueInEventLoop();
    window = std::make_unique<TPlayerSurfaceWidget>();
    window->setWindowTitle(QString::fromStdString("orvo-play - " + args.File));
    window->resize(640, 480);
    window->show();
  }
#else
  args.NoDisplay = true;
#endif
  SetMainThread();
  Logger().SetLogLevel(llError);
  Logger().TriggerEventInMainThread = false;
  // Errors are logged where they arise and kept as the player's last error: shown once.
  std::mutex logLock;
  std::string lastLogged;
  Logger().OnLog = [&](const void*, uint32_t, TLogLevel, const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::lock_guard<std::mutex> lock(logLock);
    std::fprintf(stderr, "%s\n", line.c_str());
    lastLogged = line;
  };

  TFFPlayer player;
  player.LoadLibraries();
  std::atomic<bool> ended{false};
  player.SetMute(args.Mute);
  player.SetAudioVolume(args.Volume);
  player.OnFileOpen = [](TCustomPlayer&, int64_t duration, int32_t width, int32_t height,
                         int32_t&, int32_t&) {
    std::printf("open %lld %d %d\n", static_cast<long long>(duration), width, height);
    std::fflush(stdout);
  };
  player.OnState = [&](TCustomPlayer&, TPlayState state) {
    std::printf("state %s\n", StateName(state));
    std::fflush(stdout);
    if (state == TPlayState::psEnd) ended = true;
  };
  player.OnPosition = [](TCustomPlayer&, int64_t pts) {
    std::printf("position %lld\n", static_cast<long long>(pts));
    std::fflush(stdout);
  };

  TDisplaySurface* surface = nullptr;
#ifdef ORVO_PLAY_WINDOW
  if (window) surface = window.get();
#endif
  if (!player.Open(args.File, args.NoDisplay ? nullptr : surface, false)) {
    std::lock_guard<std::mutex> lock(logLock);
    if (player.LastErrorMessage() != lastLogged)
      std::fprintf(stderr, "%s\n", player.LastErrorMessage().c_str());
    return 1;
  }
  if (args.Seek >= 0) player.Seek(0, true, std::llround(args.Seek * 1e6));

  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  const auto start = std::chrono::steady_clock::now();
  auto finished = [&] {
    if (ended || gInterrupted) return true;
    return args.For >= 0 &&
           std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(args.For);
  };
#ifdef ORVO_PLAY_WINDOW
  if (application) {
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
      if (finished() || !window->isVisible()) QApplication::quit();
    });
    timer.start(20);
    QApplication::exec();
  } else
#endif
  {
    while (!finished()) WaitProcessingCalls(finished, std::chrono::milliseconds(50));
  }
  player.Stop(true);
  ProcessPendingCalls();
  std::fflush(stdout);
  return 0;
}
