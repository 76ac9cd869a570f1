#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "binding/UnicodeProtocol.h"
#include "binding/display_helpers.h"
#include "binding/file_helpers.h"
#include "support/test_media.h"

namespace orvo {
namespace {

TEST(HelpersTest, FormatSizeText) {
  const struct {
    int64_t size;
    const char* text;
  } kCases[] = {
      {0, "0 Byte"},
      {1024, "1024 Byte"},
      {1025, "1.00 KB"},
      {1048576, "1024.00 KB"},
      {1048577, "1.00 MB"},
      {1073741824, "1024.00 MB"},
      {1073741825, "1.00 GB"},
      {5LL * 1073741824 + 536870912, "5.50 GB"},
      {-1, "-1 Byte"},
      {INT64_MIN, "-9223372036854775808 Byte"},
  };
  for (const auto& c : kCases) EXPECT_EQ(FormatSizeText(c.size), c.text) << c.size;
}

TEST(HelpersTest, SplitText) {
  const struct {
    const char* text;
    const char* delimiter;
    bool remove;
    const char* part;
    const char* rest;
  } kCases[] = {
      {"a=b=c", "=", true, "a", "b=c"},
      {"a=b=c", "=", false, "a", "a=b=c"},
      {"name<CRLF>value", "<CRLF>", true, "name", "value"},
      {"no delimiter", "=", true, "no delimiter", ""},
      {"no delimiter", "=", false, "no delimiter", "no delimiter"},
      {"=leading", "=", true, "", "leading"},
      {"trailing=", "=", true, "trailing", ""},
      {"", "=", true, "", ""},
      {"empty delimiter", "", true, "empty delimiter", ""},
  };
  for (const auto& c : kCases) {
    std::string text = c.text;
    EXPECT_EQ(SplitText(text, c.delimiter, c.remove), c.part) << c.text << " / " << c.delimiter;
    EXPECT_EQ(text, c.rest) << c.text << " / " << c.delimiter;
  }
}

TEST(HelpersTest, PathTexts) {
  EXPECT_TRUE(IsPathDelimiter("a/b", 2));
  for (size_t index : {0, 1, 3, 4}) EXPECT_FALSE(IsPathDelimiter("a/b", index)) << index;

  EXPECT_EQ(IncludeTrailingPathDelimiter("/tmp"), "/tmp/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/tmp/"), "/tmp/");
  EXPECT_EQ(IncludeTrailingPathDelimiter(""), "/");

  EXPECT_EQ(LastDelimiter("/.", "/a.b/c.d"), 7u);
  EXPECT_EQ(LastDelimiter("/", "/a.b/c.d"), 5u);
  EXPECT_EQ(LastDelimiter("\\", "/a.b/c.d"), 0u);

  const struct {
    const char* name;
    const char* path;
    const char* file;
  } kCases[] = {
      {"/home/u/video.avi", "/home/u/", "video.avi"},
      {"video.avi", "", "video.avi"},
      {"/home/u/", "/home/u/", ""},
      {"dir/a:b", "dir/", "a:b"},  // ":" is part of a name here
      {"c:video.avi", "", "c:video.avi"},
      {"/", "/", ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(ExtractFilePath(c.name), c.path) << c.name;
    EXPECT_EQ(ExtractFileName(c.name), c.file) << c.name;
  }

  EXPECT_EQ(ExpandFileName("/a/b/../c/./d"), "/a/c/d");
  EXPECT_EQ(ExpandFileName("x/../y"), IncludeTrailingPathDelimiter(GetCurrentDir()) + "y");
  EXPECT_EQ(ExpandFileName(""), "");
}

TEST(HelpersTest, FilesFoldersAndEnvironment) {
  namespace fs = std::filesystem;
  const std::string dir = testing::TestMediaDir() + "/helpers_files";
  fs::create_directories(dir + "/sub");
  const std::string file = testing::WriteBytes(dir + "/b.txt", "0123456789");
  testing::WriteBytes(dir + "/a.bin", "");
  testing::WriteBytes(dir + "/.hidden", "xyz");

  EXPECT_EQ(GetFileSize64(file), 10);
  EXPECT_EQ(GetFileSize64(dir + "/a.bin"), 0);
  EXPECT_EQ(GetFileSize64(dir + "/missing"), -1);
  EXPECT_EQ(GetFileSize64(dir + "/sub"), -1);
  EXPECT_EQ(GetFileSize64(""), -1);

  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(FileExists(dir + "/sub"));
  EXPECT_FALSE(FileExists(dir + "/missing"));
  EXPECT_TRUE(DirectoryExists(dir + "/sub"));
  EXPECT_FALSE(DirectoryExists(file));

  auto names = [](const std::vector<TSearchRec>& entries) {
    std::vector<std::string> result;
    for (const TSearchRec& e : entries) result.push_back(e.Name);
    return result;
  };
  const std::vector<TSearchRec> plain = FindFiles(dir);
  EXPECT_EQ(names(plain), (std::vector<std::string>{"a.bin", "b.txt"}));
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[1].Size, 10);
  EXPECT_FALSE(plain[1].IsDirectory);
  // Written moments ago: the local date-time of now, within a minute.
  EXPECT_NEAR(plain[1].Time, TimeStampToLocalDateTime(std::time(nullptr)), 60.0 / 86400);
  EXPECT_EQ(names(FindFiles(dir, true)), (std::vector<std::string>{"a.bin", "b.txt", "sub"}));
  EXPECT_TRUE(FindFiles(dir, true)[2].IsDirectory);
  const std::vector<TSearchRec> all = FindFiles(dir, true, true);
  EXPECT_EQ(names(all), (std::vector<std::string>{".hidden", "a.bin", "b.txt", "sub"}));
  EXPECT_TRUE(all[0].IsHidden);
  EXPECT_TRUE(FindFiles(dir + "/missing").empty());

  const std::string before = GetCurrentDir();
  ASSERT_TRUE(SetCurrentDir(dir + "/sub"));
  EXPECT_EQ(GetCurrentDir(), fs::canonical(dir + "/sub").string());
  EXPECT_FALSE(SetCurrentDir(dir + "/missing"));
  ASSERT_TRUE(SetCurrentDir(before));

  ::setenv("ORVO_HELPERS_TEST", "value=1", 1);
  EXPECT_EQ(GetEnvironmentVariable("ORVO_HELPERS_TEST"), "value=1");
  ::unsetenv("ORVO_HELPERS_TEST");
  EXPECT_EQ(GetEnvironmentVariable("ORVO_HELPERS_TEST"), "");
}

TEST(HelpersTest, TimeTexts) {
  const struct {
    int64_t us;
    const char* clock;
    const char* seconds;
  } kMicroseconds[] = {
      {0, "00:00:00.000", "0.000"},
      {1234567, "00:00:01.234", "1.234"},
      {3723004000, "01:02:03.004", "3723.004"},
      {90000000000, "25:00:00.000", "90000.000"},  // hours are not wrapped at 24
      {999, "00:00:00.000", "0.000"},
      {-1500000, "00:00:-01.-500", "-1.-500"},  // each field truncated toward zero
      {-3723004000, "-01:-02:-03.-004", "-3723.-004"},
  };
  for (const auto& c : kMicroseconds) {
    EXPECT_EQ(FormatClock(c.us), c.clock) << c.us;
    EXPECT_EQ(FormatSeconds(c.us), c.seconds) << c.us;
  }

  const struct {
    int64_t s;
    const char* text;
  } kSeconds[] = {
      {0, "0:00:00"},    {59, "0:00:59"},     {61, "0:01:01"}, {3600, "1:00:00"},
      {3723, "1:02:03"}, {360000, "100:00:00"}, {-5, "0:00:00"},
  };
  for (const auto& c : kSeconds) EXPECT_EQ(FormatHMS(c.s), c.text) << c.s;
}

TEST(HelpersTest, FitRect) {
  const struct {
    int cw, ch, bw, bh;
    TFitRect expected;
  } kCases[] = {
      {1600, 900, 400, 300, {0, 38, 400, 224}},   // wider: full width, 37.5 to even 38
      {900, 1600, 400, 300, {116, 0, 168, 300}},  // taller: full height, 115.625 to 116
      {400, 300, 400, 300, {0, 0, 400, 300}},     // same aspect
      {800, 600, 400, 300, {0, 0, 400, 300}},
      {100, 50, 100, 51, {0, 0, 100, 51}},   // margin 0.5: tie to even 0
      {100, 50, 100, 53, {0, 2, 100, 49}},   // margin 1.5: tie to even 2
      {100, 50, 100, 55, {0, 2, 100, 51}},   // margin 2.5: tie to even 2
      {50, 100, 51, 100, {0, 0, 51, 100}},   // the other branch: 0.5
      {50, 100, 57, 100, {4, 0, 49, 100}},   // 3.5 to 4
      {0, 0, 400, 300, {0, 0, 400, 300}},    // nothing to fit: the box
      {640, 0, 400, 300, {0, 0, 400, 300}},
      {640, 480, 0, 300, {0, 0, 0, 300}},
      {640, 480, 400, 0, {0, 0, 400, 0}},
      {640, 480, -4, -3, {0, 0, 0, 0}},
  };
  for (const auto& c : kCases) {
    const TFitRect r = FitRect(c.cw, c.ch, c.bw, c.bh);
    EXPECT_EQ(r, c.expected) << c.cw << "x" << c.ch << " in " << c.bw << "x" << c.bh << ": "
                             << r.Left << "," << r.Top << " " << r.Width << "x" << r.Height;
  }
}

// Sets TZ for one scope.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old, hadZone_ = true;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (hadZone_) ::setenv("TZ", saved_.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::string saved_;
  bool hadZone_ = false;
};

TEST(HelpersTest, TimeStampsToLocalDateTimes) {
  constexpr int64_t kWinter = 1610712000;  // 2021-01-15 12:00:00 UTC
  constexpr int64_t kSummer = 1626350400;  // 2021-07-15 12:00:00 UTC
  const struct {
    const char* zone;
    int64_t stamp;
    double offsetHours;
    const char* local;
  } kCases[] = {
      {"UTC0", 0, 0, "1970-01-01 00:00:00"},
      {"UTC0", kWinter, 0, "2021-01-15 12:00:00"},
      {"EST5EDT,M3.2.0,M11.1.0", kWinter, -5, "2021-01-15 07:00:00"},
      {"EST5EDT,M3.2.0,M11.1.0", kSummer, -4, "2021-07-15 08:00:00"},
      {"<+0530>-5:30", kSummer, 5.5, "2021-07-15 17:30:00"},
      {"<-03>3", 0, -3, "1969-12-31 21:00:00"},
  };
  for (const auto& c : kCases) {
    ScopedTimeZone zone(c.zone);
    SCOPED_TRACE(::testing::Message() << c.zone << " " << c.stamp);
    EXPECT_DOUBLE_EQ(LocalTimeOffset(c.stamp), c.offsetHours / 24);
    const double local = TimeStampToLocalDateTime(c.stamp);
    EXPECT_NEAR(local, c.stamp / 86400.0 + 25569 + c.offsetHours / 24, 1e-9);
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", local), c.local);
  }

  const double withMilliseconds = 44211.5 + 4.0 / 86400 + 0.123 / 86400;  // 2021-01-15 12:00:04.123
  EXPECT_EQ(FormatDateTime("YY/MM/DD hh:nn:ss.zzz!", withMilliseconds), "21/01/15 12:00:04.123!");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn", -1.25), "1899-12-29 06:00");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", 1.0 - 0.1 / 86400000), "1899-12-31 00:00:00");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd", 2958465), "9999-12-31");
}

TEST(HelpersTest, LibraryFileNames) {
  EXPECT_STREQ(UnicodeUrlPrefix, "unicode:utf8:");
  const struct {
    const char* name;
    bool needsUrl;
  } kNames[] = {
      {"/video/a.avi", false},
      {"/vid\xC3\xA9o/\xE6\x97\xA5\xE6\x9C\xAC.avi", false},  // UTF-8 survives as it is
      {"/video/\xFF.avi", true},                               // not valid UTF-8
      {"/video/\xC0\xAF.avi", true},                           // overlong form
      {"/video/\xED\xA0\x80.avi", true},                       // a surrogate
      {"/video/\xE6\x97", true},                               // cut sequence
      {"http:\xFF", false},   // a listed protocol is never wrapped
      {"udp:\xFF", false},
      {"HTTP:\xFF", true},    // compared case-sensitively
      {"file:\xFF", true},
  };
  for (const auto& c : kNames) {
    EXPECT_EQ(NeedsUnicodeUrl(c.name), c.needsUrl) << c.name;
    EXPECT_EQ(ToLibraryFileName(c.name), c.name);
  }

  const struct {
    std::string reported;
    std::string name;
  } kReported[] = {
      {"unicode:utf8:/vid\xC3\xA9o/a.avi", "/vid\xC3\xA9o/a.avi"},
      {"unicode:utf8:a", "a"},
      {"unicode:utf8:", "unicode:utf8:"},  // 14 bytes are needed
      {"UNICODE:utf8:/a.avi", "UNICODE:utf8:/a.avi"},
      {"unicode:utf8:c:/a:b", "c:/a:b"},
      {"/plain/a.avi", "/plain/a.avi"},
  };
  for (const auto& c : kReported) EXPECT_EQ(FromLibraryFileName(c.reported), c.name);

  RegisterUnicodeProtocol();
  RegisterUnicodeProtocol();
  EXPECT_TRUE(UnicodeProtocolRegistered());
}

}  // namespace
}  // namespace orvo
