// Runs the orvo-convert program: argument order, usage, failures with their texts, progress
// lines, Ctrl+C and joining.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/av_handles.h"
#include "engine/FFmpeg.h"
#include "support/test_media.h"

extern char** environ;

namespace orvo {
namespace {

using namespace std::chrono_literals;

std::string Media(const std::string& name) { return testing::TestMediaDir() + "/" + name; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct ToolRun {
  int exitCode = -1;  // -1: killed or did not finish
  std::string out;
  std::string err;
};

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

// Runs the tool with stdout and stderr in files (stderr on a terminal when asked). `watch` is
// called every few milliseconds with the tool's id and the standard error written so far; the
// tool is killed after a minute.
ToolRun RunTool(const std::vector<std::string>& args,
                const std::function<void(pid_t, const std::string&)>& watch = {},
                bool terminal = false) {
  static int runs = 0;
  const std::string base = Media("convert-run-" + std::to_string(++runs));
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
  std::vector<std::string> argvText{ORVO_CONVERT_TOOL};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);

  ToolRun run;
  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, ORVO_CONVERT_TOOL, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << ORVO_CONVERT_TOOL;
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
    if (watch) watch(pid, terminal ? ttyText : ReadFile(errPath));
    std::this_thread::sleep_for(10ms);
  }
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) ADD_FAILURE() << "the tool died of signal " << WTERMSIG(status);
  run.out = ReadFile(outPath);
  if (terminal) tty.Drain(ttyText);
  run.err = terminal ? ttyText : ReadFile(errPath);
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool IsProgressLine(const std::string& line) {
  return line.rfind("frame=", 0) == 0 || line.rfind("size=", 0) == 0;
}

// What a converted file holds, decoded to its end.
struct Decoded {
  bool opened = false;
  int videoStreams = 0;
  int audioStreams = 0;
  int videoFrames = 0;
  int64_t audioSamples = 0;
  int sampleRate = 0;
  int64_t audioBitRate = 0;
};

Decoded Decode(const std::string& path) {
  Decoded result;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return result;
  InputFormatContextPtr ic(raw);
  if (avformat_find_stream_info(ic.get(), nullptr) < 0) return result;
  std::vector<CodecContextPtr> decoders(ic->nb_streams);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVCodecParameters* par = ic->streams[i]->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) ++result.videoStreams;
    if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
      ++result.audioStreams;
      result.sampleRate = par->sample_rate;
      result.audioBitRate = par->bit_rate;
    }
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) return result;
    decoders[i].reset(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(decoders[i].get(), par);
    if (avcodec_open2(decoders[i].get(), codec, nullptr) < 0) return result;
  }
  result.opened = true;
  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  auto drain = [&](AVCodecContext* dec) {
    while (avcodec_receive_frame(dec, frame.get()) >= 0) {
      if (dec->codec_type == AVMEDIA_TYPE_VIDEO) ++result.videoFrames;
      if (dec->codec_type == AVMEDIA_TYPE_AUDIO) result.audioSamples += frame->nb_samples;
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(ic.get(), packet.get()) >= 0) {
    AVCodecContext* dec = decoders[size_t(packet->stream_index)].get();
    if (avcodec_send_packet(dec, packet.get()) >= 0) drain(dec);
    av_packet_unref(packet.get());
  }
  for (CodecContextPtr& dec : decoders) {
    avcodec_send_packet(dec.get(), nullptr);
    drain(dec.get());
  }
  return result;
}

testing::TestMediaSpec ClipRecipe(double seconds) {
  testing::TestMediaSpec recipe;
  recipe.container = "avi";
  recipe.videoEncoder = "mpeg4";
  recipe.audioEncoder = "mp2";
  recipe.width = 160;
  recipe.height = 120;
  recipe.seconds = seconds;
  return recipe;
}

class ConvertToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries));
    one_ = testing::WriteTestMedia(Media("one.avi"), ClipRecipe(1.0));
    two_ = testing::WriteTestMedia(Media("two.avi"), ClipRecipe(2.0));
  }
  static std::string one_;
  static std::string two_;
};
std::string ConvertToolTest::one_;
std::string ConvertToolTest::two_;

TEST_F(ConvertToolTest, OptionsBeforeAndAfterTheInputApply) {
  // "-t" before -i still limits the output; "-vn" stands alone, followed by another option.
  const std::string output = Media("options.mp2");
  const ToolRun run = RunTool({"-t", "1", "-i", two_, "-vn", "-ab", "64000", output});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Decoded out = Decode(output);
  ASSERT_TRUE(out.opened);
  EXPECT_EQ(out.videoStreams, 0);
  ASSERT_EQ(out.audioStreams, 1);
  EXPECT_EQ(out.audioBitRate, 64000);
  EXPECT_EQ(out.sampleRate, 44100);
  EXPECT_NEAR(double(out.audioSamples) / out.sampleRate, 1.0, 0.1);

  // A switch takes a following 0 or 1 as its value: "-vn 0" keeps the video.
  const std::string both = Media("options-both.avi");
  const ToolRun withVideo = RunTool({"-i", one_, "-vn", "0", "-acodec", "mp2", both});
  ASSERT_EQ(withVideo.exitCode, 0) << withVideo.err;
  const Decoded second = Decode(both);
  EXPECT_EQ(second.videoStreams, 1);
  EXPECT_NEAR(second.videoFrames, 25, 1);
}

TEST_F(ConvertToolTest, HelpAndBadUsage) {
  const ToolRun help = RunTool({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("usage: orvo-convert", 0), 0u) << help.out;
  for (const char* word : {"-i FILE", "-join", "Ctrl+C", "130"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"-i"},
        std::vector<std::string>{"-i", one_, "-ab"}}) {
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 2) << args.size() << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(run.err.empty());
  }
}

TEST_F(ConvertToolTest, FailuresExitWithOneAndTheirText) {
  // The texts the engine gives for the same mistakes.
  TCustomFFmpeg engine;
  const std::string missing = Media("absent.avi");
  ASSERT_FALSE(engine.OpenInputFile(missing));
  const std::string missingText = engine.LastErrorText();
  ASSERT_FALSE(missingText.empty());
  std::string optionText;
  try {
    engine.DispatchOption("s", "tiny");
  } catch (const FFmpegException& error) {
    optionText = error.what();
  }
  ASSERT_FALSE(optionText.empty());

  struct Case {
    std::vector<std::string> args;
    std::string text;
  };
  const std::string unknown = Media("out.unknownext");
  const Case cases[] = {
      {{"-i", missing, Media("never.avi")}, missingText + "\n"},
      {{"-i", one_, unknown}, "Unable to find a suitable output format for '" + unknown + "'\n"},
      {{"-i", one_, "-s", "tiny", Media("never.avi")}, optionText + "\n"},
      // Fails in the run: H.263 takes only a few picture sizes.
      {{"-i", one_, "-vcodec", "h263", "-s", "300x200", "-an", Media("never.avi")},
       "Error while opening encoder for output stream #0.0 (Video)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const ToolRun run = RunTool(c.args);
    EXPECT_EQ(run.exitCode, 1);
    const size_t first = run.err.find(c.text);
    EXPECT_NE(first, std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(c.text, first + 1), std::string::npos) << "shown once:\n" << run.err;
  }
  EXPECT_FALSE(std::ifstream(Media("never.avi")).good());
}

TEST_F(ConvertToolTest, ProgressIsOneLinePerReportWhenNotATerminal) {
  // Read in real time, two seconds give several reports.
  const ToolRun run = RunTool({"-re", "-i", two_, Media("progress.avi")});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err.find('\r'), std::string::npos) << "no rewriting into a file";
  std::vector<double> percents;
  for (const std::string& line : Lines(run.err)) {
    if (!IsProgressLine(line)) continue;
    EXPECT_EQ(line.rfind("frame=", 0), 0u) << line;
    for (const char* field : {" fps=", " q=", "size=", " time=", " bitrate="})
      EXPECT_NE(line.find(field), std::string::npos) << field << " in " << line;
    ASSERT_EQ(line.back(), '%') << line;
    const size_t space = line.find_last_of(' ', line.size() - 2);
    percents.push_back(std::stod(line.substr(space + 1)));
  }
  ASSERT_GE(percents.size(), 3u) << run.err;
  for (size_t i = 1; i < percents.size(); ++i) EXPECT_GE(percents[i], percents[i - 1]);
  EXPECT_GT(percents.front(), 0.0);
  EXPECT_LT(percents.front(), 90.0);
  EXPECT_NEAR(percents.back(), 100.0, 4.0);
}

TEST_F(ConvertToolTest, ProgressRewritesOneLineOnATerminal) {
  const ToolRun run = RunTool({"-re", "-i", two_, Media("progress-tty.avi")}, {}, true);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const size_t first = run.err.find("\rframe=");
  ASSERT_NE(first, std::string::npos) << run.err;
  const size_t last = run.err.rfind("\rframe=");
  EXPECT_GT(last, first) << "several reports:\n" << run.err;
  EXPECT_EQ(run.err.find('\n', first), run.err.size() - 1) << "one line, ended once:\n" << run.err;
  EXPECT_NE(run.err.find("%", last), std::string::npos);
}

TEST_F(ConvertToolTest, InterruptStopsWith130AndAReadableFile) {
  const std::string longClip = testing::WriteTestMedia(Media("long.avi"), ClipRecipe(20.0));
  const std::string output = Media("interrupted.avi");
  bool sent = false;
  const auto started = std::chrono::steady_clock::now();
  const ToolRun run = RunTool({"-re", "-i", longClip, output}, [&](pid_t pid, const std::string& err) {
    if (!sent && err.find("time=") != std::string::npos) {
      kill(pid, SIGINT);
      sent = true;
    }
  });
  ASSERT_TRUE(sent) << run.err;
  EXPECT_EQ(run.exitCode, 130) << run.err;
  EXPECT_LT(std::chrono::steady_clock::now() - started, 15s) << "stopped before the end";
  const Decoded out = Decode(output);
  ASSERT_TRUE(out.opened);
  EXPECT_GT(out.videoFrames, 0);
  EXPECT_LT(out.videoFrames, 400);
  EXPECT_GT(out.audioSamples, 0);
}

TEST_F(ConvertToolTest, JoinGivesOneOutputOfTheSummedLength) {
  // The container's own audio encoder, and one without options of its own.
  for (const std::string audio : {"", "mp2"}) {
    SCOPED_TRACE(audio);
    const std::string output = Media("joined" + audio + ".avi");
    std::vector<std::string> args{"-i", one_, "-i", two_};
    if (!audio.empty()) args.insert(args.end(), {"-acodec", audio});
    args.insert(args.end(), {"-join", output});
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const Decoded out = Decode(output);
    ASSERT_TRUE(out.opened);
    EXPECT_EQ(out.videoStreams, 1);
    ASSERT_EQ(out.audioStreams, 1);
    EXPECT_NEAR(out.videoFrames, 75, 2);
    EXPECT_NEAR(double(out.audioSamples) / out.sampleRate, 3.0, 0.15);
  }
}

}  // namespace
}  // namespace orvo
