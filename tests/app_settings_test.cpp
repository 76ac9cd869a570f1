// The application globals, the settings readers and their defaults, and the file list model.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/FileList.h"
#include "app/GlobalUnit.h"
#include "app/SettingsStore.h"
#include "app/UserPrompts.h"
#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "component/FFmpegVCL.h"
#include "platform/main_thread.h"
#include "support/app_fixture.h"
#include "support/test_media.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using testing::AppFolders;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

using GlobalsTest = AppFolders;

TEST_F(GlobalsTest, PathsVersionAndSetterRules) {
  TGlobalObject globals;
  globals.InitPaths();
  EXPECT_EQ(globals.SettingsFile(), Config() + "/orvoswfconverter.ini");
  EXPECT_TRUE(fs::is_regular_file(globals.FormatFile())) << globals.FormatFile();
  EXPECT_EQ(fs::path(globals.FormatFile()).filename(), "orvoswfformat.ini");
  EXPECT_EQ(globals.Title(), "Orvo SWF Converter");
  EXPECT_EQ(globals.VersionText(), " ver 1.30 ");
  EXPECT_EQ(TGlobalObject::GetFileVersionText(), " 3.600 ");

  const std::string settings = globals.SettingsFile();
  globals.SetSettingsFile("abc");  // 3 characters: kept
  globals.SetFormatFile("");
  globals.SetTitle("");
  EXPECT_EQ(globals.SettingsFile(), settings);
  EXPECT_FALSE(globals.FormatFile().empty());
  EXPECT_EQ(globals.Title(), "Orvo SWF Converter");
  globals.SetSettingsFile("abcd");
  EXPECT_EQ(globals.SettingsFile(), "abcd");

  EXPECT_EQ(TGlobalObject::RightStr("converter", 4), "rter");
  EXPECT_EQ(TGlobalObject::RightStr("ab", 5), "ab");
  EXPECT_EQ(TGlobalObject::GetSpecialFolder(kPersonalFolder), Home() + "/");
  EXPECT_EQ(TGlobalObject::GetSpecialFolder(kCommonAppDataFolder), Config() + "/");
  EXPECT_EQ(TGlobalObject::GetSpecialFolder(0x1234), "");
}

TEST_F(GlobalsTest, SettingsFolderWithoutTheOverride) {
  unsetenv("ORVO_CONFIG_DIR");
  setenv("XDG_CONFIG_HOME", PathIn("xdg").c_str(), 1);
  EXPECT_EQ(TGlobalObject::SettingsFolder(), PathIn("xdg") + "/orvoswfconverter/");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(TGlobalObject::SettingsFolder(), Home() + "/.config/orvoswfconverter/");
  TGlobalObject globals;
  globals.InitPaths();  // creates the folder
  EXPECT_TRUE(fs::is_directory(Home() + "/.config/orvoswfconverter"));
}

TEST_F(GlobalsTest, WritableFolders) {
  EXPECT_TRUE(TGlobalObject::IsDirWritable(Root()));
  EXPECT_TRUE(TGlobalObject::IsDirWritable(Root() + "/"));
  EXPECT_FALSE(TGlobalObject::IsDirWritable(PathIn("missing")));
  EXPECT_FALSE(TGlobalObject::IsDirWritable(""));
  WriteText(PathIn("file"), "x");
  EXPECT_FALSE(TGlobalObject::IsDirWritable(PathIn("file")));
  // Nothing is left behind by the check.
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(Root())) ++entries;
  EXPECT_EQ(entries, 3);  // home, config, file
  if (geteuid() != 0) {  // permissions do not bind root
    fs::create_directories(PathIn("locked"));
    fs::permissions(PathIn("locked"), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(TGlobalObject::IsDirWritable(PathIn("locked")));
  }
}

TEST(CatalogueListTest, EntriesAreSplitAtEveryCommaAndNotTrimmed) {
  const struct {
    std::string value;
    std::vector<std::string> entries;
  } cases[] = {
      {"320x240,640x480,", {"320x240", "640x480", ""}},
      {"a,,b", {"a", "", "b"}},
      {"", {}},
      {" 25 , 30", {" 25 ", " 30"}},
      {",", {"", ""}},
      {"null", {"null"}},  // as a list value; the reader turns it into the disabled state
  };
  for (const auto& c : cases) EXPECT_EQ(ParseCatalogueList(c.value), c.entries) << c.value;
}

using SettingsTest = AppFolders;

TEST_F(SettingsTest, ReadersOfAnEmptyFolderGiveTheirDefaults) {
  const TIniFile settings(SettingsPath());
  const TIniFile catalogue(PathIn("no-catalogue.ini"));
  EXPECT_EQ(ReadFormatCode(settings), 1);
  EXPECT_EQ(ReadPreviewVolume(settings), 0);
  EXPECT_FALSE(ReadMute(settings));
  EXPECT_EQ(ReadOutputDir(settings), Home() + "/duzezoredizore");
  EXPECT_EQ(ReadSnapOutputDir(settings), Home() + "/duzezoredizore");
  EXPECT_EQ(ReadFileExt(catalogue, 1), "mp4");
  EXPECT_EQ(ReadProfileZoom(settings, 1), "lbox");
  for (int category = 0; category < 3; ++category)
    EXPECT_TRUE(ReadCategoryCollapsed(settings, category));
  TThreadPriority priority = TThreadPriority::tpLowest;
  EXPECT_TRUE(ReadThreadPriority(settings, priority));
  EXPECT_EQ(priority, TThreadPriority::tpNormal);
  const TCatalogueList list = ReadCatalogueList(catalogue, 1, "VideoSize");
  EXPECT_FALSE(list.Enabled);
  EXPECT_TRUE(list.Entries.empty());
}

TEST_F(SettingsTest, KeysMatchWithoutCaseAndValuesStayVerbatim) {
  TIniFile settings(SettingsPath());
  settings.WriteString("settings", "snapOutPutDir", "/tmp/snaps");
  settings.WriteString("FORMATINFO1", "paraZoom", "pan");
  EXPECT_EQ(ReadSnapOutputDir(settings), "/tmp/snaps");
  EXPECT_EQ(ReadProfileZoom(settings, 1), "pan");  // read as "parazoom"

  WriteText(PathIn("catalogue.ini"),
            "[formatInfo7]\nVideoSize=320x240,640x480,\nAudioEncoder=null\nFileExt=swf\n");
  const TIniFile catalogue(PathIn("catalogue.ini"));
  const TCatalogueList sizes = ReadCatalogueList(catalogue, 7, "videosize");
  EXPECT_TRUE(sizes.Enabled);
  EXPECT_EQ(sizes.Entries, (std::vector<std::string>{"320x240", "640x480", ""}));
  EXPECT_FALSE(ReadCatalogueList(catalogue, 7, "AudioEncoder").Enabled);
  EXPECT_EQ(ReadFileExt(catalogue, 7), "swf");
}

TEST_F(SettingsTest, StoredValuesOutsideTheirRangesFallBack) {
  TIniFile settings(SettingsPath());
  const struct {
    const char* stored;
    int volume;
  } volumes[] = {{"200", 64}, {"-1", 64}, {"129", 64}, {"128", 128}, {"0", 0}, {"77", 77},
                 {"loud", 0}};
  for (const auto& v : volumes) {
    settings.WriteString("settings", "volume", v.stored);
    EXPECT_EQ(ReadPreviewVolume(settings), v.volume) << v.stored;
  }
  const struct {
    const char* stored;
    bool known;
    TThreadPriority priority;
  } priorities[] = {{"0", true, TThreadPriority::tpIdle},
                    {"1", true, TThreadPriority::tpNormal},
                    {"2", true, TThreadPriority::tpLower},
                    {"3", true, TThreadPriority::tpLowest},
                    {"4", false, TThreadPriority::tpLowest},
                    {"-1", false, TThreadPriority::tpLowest}};
  for (const auto& p : priorities) {
    settings.WriteString("settings", "priority", p.stored);
    TThreadPriority priority = TThreadPriority::tpLowest;
    EXPECT_EQ(ReadThreadPriority(settings, priority), p.known) << p.stored;
    EXPECT_EQ(priority, p.priority) << p.stored;
  }
}

TEST_F(SettingsTest, BrokenFilesNeverStopTheReaders) {
  const std::string garbage =
      "\x01\x02[[[\n=novalue\n[settings\nvolume\nFormatCode==7\n\xff\xfe\n[formatInfo1]x\n";
  const std::string files[] = {"", "[settings]\nFormatCode=10", garbage, std::string(5000, '=')};
  for (const std::string& text : files) {
    WriteText(SettingsPath(), text);
    WriteText(PathIn("catalogue.ini"), text);
    const TIniFile settings(SettingsPath());
    const TIniFile catalogue(PathIn("catalogue.ini"));
    const int code = ReadFormatCode(settings);
    EXPECT_TRUE(code == 1 || code == 10) << code;  // a truncated "FormatCode=10" still reads
    EXPECT_EQ(ReadPreviewVolume(settings), 0);
    EXPECT_EQ(ReadFileExt(catalogue, 1), "mp4");
    EXPECT_EQ(ReadProfileZoom(settings, 1), "lbox");
    EXPECT_FALSE(ReadCatalogueList(catalogue, 1, "VideoSize").Enabled);
  }
}

TEST_F(SettingsTest, FolderCheckReplacesUnwritableFoldersAndWritesThemBack) {
  TIniFile settings(SettingsPath());
  // First start: the default folder does not exist yet, so both keys get the home folder's.
  EXPECT_EQ(CheckOutputFolders(settings), Home() + "/duzezoredizore");
  EXPECT_EQ(settings.ReadString("settings", "OutPutDir", ""), Home() + "/duzezoredizore");
  EXPECT_EQ(settings.ReadString("settings", "SnapOutPutDir", ""), Home() + "/duzezoredizore");
  EXPECT_FALSE(fs::exists(Home() + "/duzezoredizore"));  // not created here

  fs::create_directories(PathIn("out"));
  settings.WriteString("settings", "OutPutDir", PathIn("out"));
  settings.WriteString("settings", "SnapOutPutDir", PathIn("gone"));
  EXPECT_EQ(CheckOutputFolders(settings), PathIn("out"));
  EXPECT_EQ(settings.ReadString("settings", "SnapOutPutDir", ""), Home() + "/duzezoredizore");
}

// The file list with a real task component probing the files.
class FileListTest : public AppFolders {
 protected:
  static void SetUpTestSuite() { UseConverter(); }
  static const std::string& Clip() {
    return testing::MediaOnce("list-clip.avi", testing::AviClip(64, 48, 2.0));
  }
};

TEST_F(FileListTest, AddingProbesEachFileOnceAndSkipsWhatItCannotUse) {
  TIniFile settings(SettingsPath());
  settings.WriteString("settings", "OutPutDir", PathIn("out"));
  settings.WriteString("settings", "FormatCode", "104");
  settings.WriteString("formatInfo104", "paraZoom", "pan");
  WriteText(PathIn("catalogue.ini"), "[formatInfo104]\nFileExt=avi\n");
  const std::string notMedia = testing::WriteBytes(PathIn("notes.txt"), "not a media file");

  TFFmpegVCL component;
  TFileList list;
  const TUserPrompts prompts;
  EXPECT_EQ(list.AddFiles({Clip(), notMedia, Root(), Clip()}, component, SettingsPath(),
                          PathIn("catalogue.ini"), prompts),
            1);
  EXPECT_EQ(component.TasksCount(), 0);  // the probing tasks are gone again
  ASSERT_EQ(list.Count(), 1);
  const TFileRow& row = list.Row(0);
  EXPECT_EQ(row.Caption, Clip());
  EXPECT_EQ(row.Length, "2");
  EXPECT_EQ(row.TrimmedLength, "2");
  EXPECT_EQ(row.Destination, "list-clip_(new)_ipod.avi");
  EXPECT_EQ(row.Progress, "");
  EXPECT_TRUE(row.Checked);
  EXPECT_EQ(list.Selected(), 0);
  const TlvFilesRecord& record = *row.Record;
  EXPECT_EQ(record.SourceFile, Clip());
  EXPECT_EQ(record.DestFile, PathIn("out") + "/list-clip_(new)_ipod.avi");
  EXPECT_EQ(record.Zoom, "pan");
  EXPECT_EQ(record.TrimStart, 0);
  EXPECT_EQ(record.TrimLength, 0);
  EXPECT_FALSE(record.HasCrop());
  EXPECT_EQ(record.Brightness, 255);
  EXPECT_EQ(record.Contrast, 0);
  EXPECT_EQ(record.Saturation, 255);
  EXPECT_EQ(record.Exposure, 0);
  EXPECT_FALSE(record.ProcessText || record.ProcessImage);
  EXPECT_TRUE(record.WaterMarks.empty());
  EXPECT_FALSE(record.NeedsFrameHook());

  // The same path in a second dialog is not added again.
  EXPECT_EQ(list.AddFiles({Clip()}, component, SettingsPath(), PathIn("catalogue.ini"), prompts),
            0);
  EXPECT_EQ(list.Count(), 1);
}

TEST_F(FileListTest, RemovingSelectsTheNextRowAndChecksFollowTheMenu) {
  TFileList list;
  for (const char* name : {"a.avi", "b.avi", "c.avi"}) list.AddRow(name, "", 1000000, "lbox");
  EXPECT_FALSE(list.RemoveSelected());  // nothing selected
  list.Select(2);
  ASSERT_TRUE(list.RemoveSelected());
  EXPECT_EQ(list.Selected(), 1);  // the new last row
  list.Select(0);
  ASSERT_TRUE(list.RemoveSelected());
  EXPECT_EQ(list.Selected(), 0);
  EXPECT_EQ(list.Row(0).Caption, "b.avi");
  ASSERT_TRUE(list.RemoveSelected());
  EXPECT_TRUE(list.Empty());
  EXPECT_EQ(list.Selected(), -1);

  for (const char* name : {"a", "b", "c", "d"}) list.AddRow(name, "", 0, "full");
  list.UncheckAll();
  EXPECT_TRUE(list.CheckedRows().empty());
  list.Select(1);
  list.SetSelectedChecked(true);
  EXPECT_EQ(list.CheckedRows(), (std::vector<int>{1}));
  list.ReverseCheck();
  EXPECT_EQ(list.CheckedRows(), (std::vector<int>{0, 2, 3}));
  list.CheckAll();
  EXPECT_EQ(list.CheckedRows(), (std::vector<int>{0, 1, 2, 3}));
  list.Clear();
  EXPECT_TRUE(list.Empty());
  EXPECT_EQ(list.Selected(), -1);
}

TEST(FrameHookDecisionTest, AdjustmentsOrAFirstItemWithContent) {
  const struct {
    const char* what;
    int brightness, contrast, saturation, exposure;
    std::vector<std::pair<std::string, std::string>> items;  // text, image
    bool hooked;
  } cases[] = {
      {"neutral", 255, 0, 255, 0, {}, false},
      {"brightness", 256, 0, 255, 0, {}, true},
      {"contrast", 255, -1, 255, 0, {}, true},
      {"saturation", 255, 0, 0, 0, {}, true},
      {"exposure", 255, 0, 255, 1, {}, true},
      {"first text", 255, 0, 255, 0, {{"hi", ""}}, true},
      {"first image", 255, 0, 255, 0, {{"", "logo.bmp"}}, true},
      {"only a later item", 255, 0, 255, 0, {{"", ""}, {"hi", ""}}, false},
  };
  for (const auto& c : cases) {
    TlvFilesRecord record;
    record.Brightness = c.brightness;
    record.Contrast = c.contrast;
    record.Saturation = c.saturation;
    record.Exposure = c.exposure;
    for (const auto& [text, image] : c.items) {
      auto item = std::make_unique<TWmRec>();
      item->Text = text;
      item->ImageFile = image;
      record.WaterMarks.push_back(std::move(item));
    }
    EXPECT_EQ(record.NeedsFrameHook(), c.hooked) << c.what;
  }
}

}  // namespace
}  // namespace orvo
