#pragma once
// Path, file and text helpers used by the engine modules. Paths are UTF-8 with "/" as separator.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orvo {

constexpr char kPathDelimiter = '/';

// True when the character at a 1-based index is the path delimiter.
bool IsPathDelimiter(const std::string& text, size_t index);
// Appends "/" unless the text already ends with it.
std::string IncludeTrailingPathDelimiter(const std::string& text);
// 1-based index of the last character of the text found in `delimiters`, 0 when none.
size_t LastDelimiter(const std::string& delimiters, const std::string& text);
// The text up to and including the last "/", and the text after it. Only "/" separates: a ":"
// is an ordinary file name character here, so "a:b" is a file name, not a drive and a name.
std::string ExtractFilePath(const std::string& fileName);
std::string ExtractFileName(const std::string& fileName);

bool FileExists(const std::string& fileName);  // exists and is not a directory
bool DirectoryExists(const std::string& dir);
std::string GetCurrentDir();
bool SetCurrentDir(const std::string& dir);
// Value of an environment variable, empty when unset.
std::string GetEnvironmentVariable(const std::string& name);
// The absolute, normalised form of a name (relative names against the current directory);
// empty for an empty name.
std::string ExpandFileName(const std::string& fileName);

// Size in bytes of an existing file; -1 when it does not exist, is a directory or cannot be read.
int64_t GetFileSize64(const std::string& fileName);

// One entry of a directory search.
struct TSearchRec {
  int64_t Size = 0;
  bool IsDirectory = false;
  bool IsHidden = false;       // name begins with "."
  double Time = 0;             // last write, local date-time (days since 1899-12-30)
  std::string Name;
};
// Lists a folder's entries (sorted by name); hidden entries and folders only when asked for.
std::vector<TSearchRec> FindFiles(const std::string& dir, bool includeDirectories = false,
                                  bool includeHidden = false);

// The text without leading and trailing blanks and control characters (bytes up to ' ').
std::string TrimText(std::string_view text);

// printf-style formatting into a string of any length.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The part of `text` before the first `delimiter` (all of it when absent; an empty delimiter
// counts as absent). With `remove`, `text` keeps only what follows the delimiter (empty when
// absent).
std::string SplitText(std::string& text, const std::string& delimiter, bool remove);

// "%.2f GB" above 2^30 bytes, "%.2f MB" above 2^20, "%.2f KB" above 1024, else "%d Byte".
std::string FormatSizeText(int64_t size);

// The local time zone's offset from UTC as a fraction of a day, at the given Unix time.
double LocalTimeOffset(int64_t unixSeconds);
// Seconds since 1970-01-01 00:00 UTC to a local date-time (days since 1899-12-30).
double TimeStampToLocalDateTime(int64_t unixSeconds);
// Formats a date-time with the pattern letters yyyy, yy, mm, dd, hh, nn (minutes), ss, zzz (in
// any letter case); every other character is copied. For a negative value the whole part is the day
// and the fraction's magnitude the time of day (-1.25 is 1899-12-29 06:00).
std::string FormatDateTime(const std::string& pattern, double dateTime);

}  // namespace orvo
