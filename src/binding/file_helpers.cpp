#include <cstdarg>
#include "binding/file_helpers.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <system_error>

namespace orvo {

namespace {

constexpr double kUnixEpochDateTime = 25569.0;  // 1970-01-01 in days since 1899-12-30
constexpr int64_t kMillisecondsPerDay = 86400000;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Year, month, day of a count of days since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(int64_t days, int64_t& year, int& month, int& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

bool StartsWithNoCase(const std::string& text, size_t pos, const char* token) {
  for (size_t k = 0; token[k]; ++k) {
    if (pos + k >= text.size()) return false;
    if (std::tolower(static_cast<unsigned char>(text[pos + k])) != token[k]) return false;
  }
  return true;
}

std::string PaddedNumber(int64_t value, int width) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%0*" PRId64, width, value);
  return buffer;
}

}  // namespace

bool IsPathDelimiter(const std::string& text, size_t index) {
  return index >= 1 && index <= text.size() && text[index - 1] == kPathDelimiter;
}

std::string IncludeTrailingPathDelimiter(const std::string& text) {
  if (IsPathDelimiter(text, text.size())) return text;
  return text + kPathDelimiter;
}

size_t LastDelimiter(const std::string& delimiters, const std::string& text) {
  const size_t pos = text.find_last_of(delimiters);
  return pos == std::string::npos ? 0 : pos + 1;
}

std::string ExtractFilePath(const std::string& fileName) {
  return fileName.substr(0, LastDelimiter("/", fileName));
}

std::string ExtractFileName(const std::string& fileName) {
  return fileName.substr(LastDelimiter("/", fileName));
}

bool FileExists(const std::string& fileName) {
  struct stat info {};
  return !fileName.empty() && ::stat(fileName.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool DirectoryExists(const std::string& dir) {
  struct stat info {};
  return !dir.empty() && ::stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string GetCurrentDir() {
  std::error_code error;
  const auto path = std::filesystem::current_path(error);
  return error ? std::string() : path.string();
}

bool SetCurrentDir(const std::string& dir) { return !dir.empty() && ::chdir(dir.c_str()) == 0; }

std::string GetEnvironmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? std::string(value) : std::string();
}

std::string ExpandFileName(const std::string& fileName) {
  if (fileName.empty()) return {};
  std::error_code error;
  const auto path = std::filesystem::absolute(fileName, error);
  if (error) return {};
  return path.lexically_normal().string();
}

int64_t GetFileSize64(const std::string& fileName) {
  struct stat info {};
  if (fileName.empty() || ::stat(fileName.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return -1;
  return static_cast<int64_t>(info.st_size);
}

std::vector<TSearchRec> FindFiles(const std::string& dir, bool includeDirectories,
                                  bool includeHidden) {
  std::vector<TSearchRec> result;
  std::unique_ptr<DIR, DirCloser> handle(::opendir(dir.c_str()));
  if (!handle) return result;
  const std::string folder = IncludeTrailingPathDelimiter(dir);
  while (const dirent* entry = ::readdir(handle.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info {};
    const std::string full = folder + name;
    // A dangling link still is an entry: describe the link itself.
    if (::stat(full.c_str(), &info) != 0 && ::lstat(full.c_str(), &info) != 0) continue;
    TSearchRec rec;
    rec.Name = name;
    rec.IsDirectory = S_ISDIR(info.st_mode);
    rec.IsHidden = name[0] == '.';
    if ((rec.IsDirectory && !includeDirectories) || (rec.IsHidden && !includeHidden)) continue;
    rec.Size = rec.IsDirectory ? 0 : static_cast<int64_t>(info.st_size);
    rec.Time = TimeStampToLocalDateTime(static_cast<int64_t>(info.st_mtime));
    result.push_back(std::move(rec));
  }
  std::sort(result.begin(), result.end(),
            [](const TSearchRec& a, const TSearchRec& b) { return a.Name < b.Name; });
  return result;
}

std::string SplitText(std::string& text, const std::string& delimiter, bool remove) {
  const size_t pos = delimiter.empty() ? std::string::npos : text.find(delimiter);
  if (pos == std::string::npos) {
    std::string result = text;
    if (remove) text.clear();
    return result;
  }
  std::string result = text.substr(0, pos);
  if (remove) text.erase(0, pos + delimiter.size());
  return result;
}

std::string FormatSizeText(int64_t size) {
  constexpr int64_t kKB = 1024;
  constexpr int64_t kMB = kKB * 1024;
  constexpr int64_t kGB = kMB * 1024;
  char buffer[64];
  if (size > kGB) {
    std::snprintf(buffer, sizeof buffer, "%.2f GB", static_cast<double>(size) / kGB);
  } else if (size > kMB) {
    std::snprintf(buffer, sizeof buffer, "%.2f MB", static_cast<double>(size) / kMB);
  } else if (size > kKB) {
    std::snprintf(buffer, sizeof buffer, "%.2f KB", static_cast<double>(size) / kKB);
  } else {
    std::snprintf(buffer, sizeof buffer, "%" PRId64 " Byte", size);
  }
  return buffer;
}

double LocalTimeOffset(int64_t unixSeconds) {
  const auto t = static_cast<time_t>(unixSeconds);
  struct tm local {};
  if (!::localtime_r(&t, &local)) return 0.0;
  return static_cast<double>(local.tm_gmtoff) / 86400.0;
}

double TimeStampToLocalDateTime(int64_t unixSeconds) {
  return static_cast<double>(unixSeconds) / 86400.0 + kUnixEpochDateTime +
         LocalTimeOffset(unixSeconds);
}

std::string FormatDateTime(const std::string& pattern, double dateTime) {
  // Beyond any calendar date a program meets (about 2.7 million years).
  if (!std::isfinite(dateTime) || std::fabs(dateTime) > 1e9) return {};
  auto day = static_cast<int64_t>(std::trunc(dateTime));
  auto msOfDay = std::llround(std::fabs(dateTime - static_cast<double>(day)) *
                              static_cast<double>(kMillisecondsPerDay));
  if (msOfDay >= kMillisecondsPerDay) {  // rounded up to midnight
    msOfDay -= kMillisecondsPerDay;
    ++day;
  }
  int64_t year;
  int month, dayOfMonth;
  CivilFromDays(day - static_cast<int64_t>(kUnixEpochDateTime), year, month, dayOfMonth);
  const int64_t hour = msOfDay / 3600000;
  const int64_t minute = msOfDay / 60000 % 60;
  const int64_t second = msOfDay / 1000 % 60;
  const int64_t millisecond = msOfDay % 1000;

  std::string out;
  for (size_t i = 0; i < pattern.size();) {
    if (StartsWithNoCase(pattern, i, "yyyy")) {
      out += PaddedNumber(year, 4), i += 4;
    } else if (StartsWithNoCase(pattern, i, "yy")) {
      out += PaddedNumber((year % 100 + 100) % 100, 2), i += 2;
    } else if (StartsWithNoCase(pattern, i, "mm")) {
      out += PaddedNumber(month, 2), i += 2;
    } else if (StartsWithNoCase(pattern, i, "dd")) {
      out += PaddedNumber(dayOfMonth, 2), i += 2;
    } else if (StartsWithNoCase(pattern, i, "hh")) {
      out += PaddedNumber(hour, 2), i += 2;
    } else if (StartsWithNoCase(pattern, i, "nn")) {
      out += PaddedNumber(minute, 2), i += 2;
    } else if (StartsWithNoCase(pattern, i, "ss")) {
      out += PaddedNumber(second, 2), i += 2;
    } else if (StartsWithNoCase(pattern, i, "zzz")) {
      out += PaddedNumber(millisecond, 3), i += 3;
    } else {
      out += pattern[i++];
    }
  }
  return out;
}

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? size_t(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

std::string TrimText(std::string_view text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
  return std::string(text.substr(first, last - first));
}

}  // namespace orvo
