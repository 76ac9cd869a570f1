// Starting a batch from the file list: the tasks and their records, the frame hook decision, the
// progress and end handling, and real batches whose pictures carry the rows' watermarks and
// adjustments only where they belong.
#include <gtest/gtest.h>

#include <QImage>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/BatchConversion.h"
#include "app/FileList.h"
#include "app/SettingsStore.h"
#include "app/WaterMark.h"
#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "component/FFmpegVCL.h"
#include "platform/main_thread.h"
#include "support/app_fixture.h"
#include "support/read_back.h"
#include "support/read_pictures.h"
#include "support/test_media.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A profile of the tests' own catalogue: MPEG-4 and MP2 in AVI at the source's 320x240.
constexpr int kCode = 104;

class BatchTest : public testing::AppFolders {
 protected:
  static void SetUpTestSuite() { UseConverter(); }

  void SetUp() override {
    AppFolders::SetUp();
    std::ofstream(Catalogue()) << "[formatInfo104]\nFormat=avi\nFileExt=avi\n";
    TIniFile settings(SettingsPath());
    settings.WriteString("settings", "OutPutDir", PathIn("out"));
    settings.WriteString("settings", "FormatCode", std::to_string(kCode));
    const std::string section = FormatSection(kCode);
    for (const auto& [key, value] : std::initializer_list<std::pair<const char*, const char*>>{
             {"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "320x240"},
             {"paraVideoBitRate", "3000"}, {"paraFrameRate", "25"}, {"paraZoom", "full"},
             {"paraAudioEncoder", "mp2"}, {"paraSampleRate", "44100"},
             {"paraAudioBitRate", "128"}, {"paraChannel", "2"}, {"paraVolume", "256"}})
      settings.WriteString(section, key, value);
  }

  std::string Catalogue() const { return PathIn("catalogue.ini"); }

  static const std::string& Clip() {
    return testing::MediaOnce("batch-clip.avi", testing::AviClip(320, 240, 4.0));
  }

  // A copy of the clip under another name, so that rows differ.
  std::string ClipCopy(const std::string& name) {
    const std::string path = PathIn(name);
    fs::copy_file(Clip(), path, fs::copy_options::overwrite_existing);
    return path;
  }

  // Runs the prepared batch one task at a time until its end is told.
  bool Run(TFFmpegVCL& component, std::atomic<bool>& ended) {
    component.StartTask(1);
    return WaitProcessingCalls([&] { return ended.load(); }, 120s);
  }

  // Builds and runs a batch of the checked rows with no other callbacks than the run's end.
  void Convert(TFileList& files) {
    TFFmpegVCL component;
    std::atomic<bool> ended{false};
    TBatchCallbacks callbacks;
    callbacks.RunEnded = [&] { ended = true; };
    TBatchConversion batch(component, files, SettingsPath(), Catalogue(), callbacks);
    ASSERT_TRUE(batch.Prepare());
    ASSERT_TRUE(Run(component, ended));
  }
};

TEST_F(BatchTest, NoCheckedRowWarnsAndMakesNoTask) {
  TFFmpegVCL component;
  TFileList files;
  files.AddRow(ClipCopy("a.avi"), "", 4000000, "lbox");
  files.UncheckAll();
  std::vector<std::string> warnings;
  TBatchCallbacks callbacks;
  callbacks.Prompts.Warn = [&](const std::string& caption, const std::string& text) {
    warnings.push_back(caption + "|" + text);
  };
  TBatchConversion batch(component, files, SettingsPath(), Catalogue(), callbacks);
  EXPECT_FALSE(batch.Prepare());
  EXPECT_EQ(warnings, (std::vector<std::string>{
                          "Warning|Please select a file by clicking the check box!"}));
  EXPECT_EQ(component.TasksCount(), 0);
  EXPECT_TRUE(batch.TaskRows().empty());
}

TEST_F(BatchTest, TasksFollowTheCheckedRowsWithTheirRecords) {
  TIniFile(SettingsPath()).WriteString("settings", "priority", "0");
  TIniFile(SettingsPath()).WriteString(FormatSection(kCode), "paraZoom", "pan");
  TFFmpegVCL component;
  TFileList files;
  for (int i = 0; i < 6; ++i) files.AddRow(ClipCopy("row" + std::to_string(i) + ".avi"), "", 0, "full");
  files.UncheckAll();
  for (int row : {0, 2, 5}) {
    files.Select(row);
    files.SetSelectedChecked(true);
  }
  files.Record(2).Saturation = 100;  // only this row needs the frame hook

  std::vector<TProgressView> views;
  TBatchCallbacks callbacks;
  callbacks.Progress = [&](const TProgressView& view) { views.push_back(view); };
  TBatchConversion batch(component, files, SettingsPath(), Catalogue(), callbacks);
  ASSERT_TRUE(batch.Prepare());
  EXPECT_EQ(batch.TaskRows(), (std::vector<int>{0, 2, 5}));
  EXPECT_EQ(component.TasksCount(), 3);
  EXPECT_EQ(component.ThreadPriority, TThreadPriority::tpIdle);
  EXPECT_FALSE(component.Task(0)->OnCustomHook);
  EXPECT_TRUE(component.Task(1)->OnCustomHook);
  EXPECT_FALSE(component.Task(2)->OnCustomHook);
  for (int row : {0, 2, 5}) EXPECT_EQ(files.Record(row).Zoom, "pan");  // the stored zoom wins
  EXPECT_EQ(files.Record(1).Zoom, "full");

  TProgressInfo info;
  info.TaskIndex = 1;
  info.CurrentDuration = 2000000;
  info.TotalDuration = 4000000;
  info.CurrentSize = 123456;
  batch.HandleProgress(info);
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(views[0].Row, 2);
  EXPECT_EQ(views[0].Percent, 50);
  EXPECT_EQ(views[0].ProgressText, "[2/3]");
  EXPECT_EQ(files.Row(2).Progress, "50%");
  EXPECT_EQ(files.Row(1).Progress, "");
  component.ClearTasks();
}

TEST(ProgressViewTest, LabelsOfAReport) {
  const struct {
    int64_t current, total, size;
    int task, tasks;
    int percent;
    const char *time, *length, *kb, *progress;
  } cases[] = {
      {2500000, 10000000, 1999, 0, 2, 25, "2 Second", "10 Second", "1 kb", "[1/2]"},
      {10000000, 10000000, 1000000, 1, 2, 100, "10 Second", "10 Second", "1000 kb", "[2/2]"},
      {999999, 3000000, 0, 2, 3, 33, "0 Second", "3 Second", "0 kb", "[3/3]"},
      // An unknown or zero total shows 0 %, never a division by it.
      {5000000, -1, 10, 0, 1, 0, "5 Second", "0 Second", "0 kb", "[1/1]"},
      {5000000, 0, 10, 0, 1, 0, "5 Second", "0 Second", "0 kb", "[1/1]"},
  };
  for (const auto& c : cases) {
    TProgressInfo info;
    info.TaskIndex = c.task;
    info.CurrentDuration = c.current;
    info.TotalDuration = c.total;
    info.CurrentSize = c.size;
    const TProgressView view = TBatchConversion::MakeProgressView(info, 7, c.tasks, "/a/b.avi");
    EXPECT_EQ(view.Row, 7);
    EXPECT_EQ(view.Percent, c.percent);
    EXPECT_EQ(view.RowProgress, std::to_string(c.percent) + "%");
    EXPECT_EQ(view.TimeText, c.time);
    EXPECT_EQ(view.LengthText, c.length);
    EXPECT_EQ(view.SizeText, c.kb);
    EXPECT_EQ(view.ProgressText, c.progress);
    EXPECT_EQ(view.OutputText, "/a/b.avi");
  }
  const std::string fifty(46, 'a');
  EXPECT_EQ(TBatchConversion::ShortOutputText(fifty + ".avi"), fifty + ".avi");  // 50 characters
  const std::string long51 = "/" + fifty + ".avi";
  EXPECT_EQ(TBatchConversion::ShortOutputText(long51), long51.substr(0, 44) + "...avi");
}

TEST_F(BatchTest, EndsMarkTheRowsAndTheFolderOpensAfterTheLastTask) {
  TFFmpegVCL component;
  TFileList files;
  files.AddRow(ClipCopy("first.avi"), "", 0, "full");
  files.AddRow(ClipCopy("second.avi"), "", 0, "full");
  files.AddRow(ClipCopy("third.avi"), "", 0, "full");
  files.Select(1);
  files.SetSelectedChecked(false);
  std::vector<std::string> events;
  std::atomic<bool> ended{false};
  TBatchCallbacks callbacks;
  callbacks.RowProgress = [&](int row, const std::string& text) {
    events.push_back("row" + std::to_string(row) + " " + text);
  };
  callbacks.OpenFolderWanted = [] { return true; };
  callbacks.OpenFolder = [&](const std::string& folder) { events.push_back("open " + folder); };
  callbacks.ShutDownWanted = [] { return false; };
  callbacks.ShutDown = [&] { events.push_back("shut down"); };
  callbacks.RunEnded = [&] {
    events.push_back("end");
    ended = true;
  };
  TBatchConversion batch(component, files, SettingsPath(), Catalogue(), callbacks);
  ASSERT_TRUE(batch.Prepare());
  ASSERT_TRUE(Run(component, ended));
  EXPECT_EQ(events, (std::vector<std::string>{"row0 100%", "row2 100%", "open " + PathIn("out"),
                                              "end"}));
  EXPECT_EQ(files.Row(0).Progress, "100%");
  EXPECT_EQ(files.Row(1).Progress, "");
  EXPECT_EQ(files.Row(2).Progress, "100%");
  EXPECT_EQ(component.TasksCount(), 0);  // emptied when the run ended
  const auto first = testing::ReadBack(PathIn("out/first_(new).avi"));
  ASSERT_TRUE(first.Opened) << first.Error;
  EXPECT_TRUE(fs::exists(PathIn("out/third_(new).avi")));
  EXPECT_FALSE(fs::exists(PathIn("out/second_(new).avi")));

  // A task that did not finish changes nothing.
  events.clear();
  files.Row(0).Progress = "40%";
  TTerminateInfo failed;
  failed.TaskIndex = 0;
  failed.Exception = true;
  failed.ExceptionMsg = "broken";
  batch.HandleTerminate(failed);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(files.Row(0).Progress, "40%");
}

TEST_F(BatchTest, TrimGivesTheStartAndTheLengthOfTheOutput) {
  TFileList files;
  files.AddRow(ClipCopy("trimmed.avi"), "", 0, "full");
  files.AddRow(ClipCopy("whole.avi"), "", 0, "full");
  files.Record(0).TrimStart = 1000000;
  files.Record(0).TrimLength = 1500000;
  ASSERT_NO_FATAL_FAILURE(Convert(files));
  const auto trimmed = testing::ReadBack(PathIn("out/trimmed_(new).avi"));
  const auto whole = testing::ReadBack(PathIn("out/whole_(new).avi"));
  ASSERT_TRUE(trimmed.Opened && whole.Opened);
  EXPECT_NEAR(trimmed.Find(AVMEDIA_TYPE_VIDEO)->Duration(), 1.5, 0.1);
  EXPECT_NEAR(trimmed.Find(AVMEDIA_TYPE_AUDIO)->Duration(), 1.5, 0.1);
  EXPECT_NEAR(whole.Find(AVMEDIA_TYPE_VIDEO)->Duration(), 4.0, 0.1);
}

// Mean absolute difference of two pictures over a rectangle, all channels.
double Difference(const testing::TRgbPicture& a, const testing::TRgbPicture& b, int x, int y,
                  int w, int h) {
  double sum = 0;
  int count = 0;
  for (int row = y; row < y + h; ++row)
    for (int col = x; col < x + w; ++col)
      for (int c = 0; c < 3; ++c, ++count) sum += std::abs(a.At(col, row)[c] - b.At(col, row)[c]);
  return sum / count;
}

TEST_F(BatchTest, WatermarksAndAdjustmentsReachTheConvertedPictures) {
  // A white square shown during second 1 and a white-on-black text box during second 2.
  const std::string logo = PathIn("logo.bmp");
  QImage white(48, 48, QImage::Format_RGB888);
  white.fill(Qt::white);
  ASSERT_TRUE(white.save(QString::fromStdString(logo), "BMP"));

  TFileList files;
  files.AddRow(ClipCopy("plain.avi"), "", 0, "full");
  files.AddRow(ClipCopy("marked.avi"), "", 0, "full");
  files.AddRow(ClipCopy("dark.avi"), "", 0, "full");
  files.AddRow(ClipCopy("grey.avi"), "", 0, "full");
  TlvFilesRecord& marked = files.Record(1);
  auto image = std::make_unique<TWmRec>();
  image->Kind = 1;
  image->ImageFile = logo;
  image->ImageLeft = 16;
  image->ImageTop = 16;
  image->StartSec = image->EndSec = 1;
  marked.WaterMarks.push_back(std::move(image));
  auto text = std::make_unique<TWmRec>();
  text->Kind = 0;
  text->Text = "ORVO";
  text->Font.Size = 20;
  text->Font.Bold = true;
  text->Font.Color = 0xFFFFFF;
  text->HasBackColor = true;
  text->BackColor = 0x000000;
  TextExtent(text->Font, text->Text, text->TextWidth, text->TextHeight);
  text->TextLeft = 160;
  text->TextTop = 120;
  text->StartSec = text->EndSec = 2;
  const int textWidth = text->TextWidth, textHeight = text->TextHeight;
  ASSERT_GT(textWidth, 20);
  ASSERT_GT(textHeight, 10);
  marked.WaterMarks.push_back(std::move(text));
  files.Record(2).Brightness = 0;  // every level becomes 1
  files.Record(3).Saturation = 0;  // every pixel becomes the mean of its channels

  ASSERT_NO_FATAL_FAILURE(Convert(files));

  const auto plain = testing::ReadRgbPictures(PathIn("out/plain_(new).avi"));
  const auto withMarks = testing::ReadRgbPictures(PathIn("out/marked_(new).avi"));
  const auto dark = testing::ReadRgbPictures(PathIn("out/dark_(new).avi"));
  const auto grey = testing::ReadRgbPictures(PathIn("out/grey_(new).avi"));
  ASSERT_EQ(plain.size(), 100u);
  ASSERT_EQ(withMarks.size(), plain.size());
  ASSERT_EQ(dark.size(), plain.size());
  ASSERT_EQ(grey.size(), plain.size());

  int logoFrames = 0, textFrames = 0;
  for (size_t i = 0; i < plain.size(); ++i) {
    const double t = plain[i].Time;
    const auto& p = withMarks[i];
    const double logoChange = Difference(p, plain[i], 16, 16, 48, 48);
    const double textChange = Difference(p, plain[i], 160, 120, textWidth, textHeight);
    if (t > 1.02 && t < 1.98) {
      ++logoFrames;
      for (int c = 0; c < 3; ++c) EXPECT_GT(p.Mean(20, 20, 40, 40, c), 225) << t;
    } else if (t < 0.98 || t > 2.02) {
      EXPECT_LT(logoChange, 6) << t;
    }
    if (t > 2.02 && t < 2.98) {
      ++textFrames;
      EXPECT_GT(textChange, 40) << t;
      // Black box with white glyphs: dark on the whole, with some bright pixels.
      EXPECT_LT(p.Mean(160, 120, textWidth, textHeight, 1), 110) << t;
    } else if (t < 1.98 || t > 3.02) {
      EXPECT_LT(textChange, 6) << t;
    }
    for (int c = 0; c < 3; ++c) EXPECT_LT(dark[i].Mean(0, 0, 320, 240, c), 24) << t;
    double spread = 0, plainSpread = 0;
    for (int y = 0; y < 240; y += 8)
      for (int x = 0; x < 320; x += 8) {
        const uint8_t* g = grey[i].At(x, y);
        const uint8_t* o = plain[i].At(x, y);
        spread += std::abs(g[0] - g[1]) + std::abs(g[1] - g[2]);
        plainSpread += std::abs(o[0] - o[1]) + std::abs(o[1] - o[2]);
      }
    EXPECT_LT(spread / (40 * 30), 10) << t;
    EXPECT_GT(plainSpread / (40 * 30), 40) << t;
  }
  EXPECT_GE(logoFrames, 20);
  EXPECT_GE(textFrames, 20);
}

}  // namespace
}  // namespace orvo
