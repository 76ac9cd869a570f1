#include "platform/ini_file.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace orvo {
namespace {

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// The file as lines, with helpers to find sections and keys in it.
struct IniText {
  std::vector<std::string> lines;

  static IniText Load(const std::string& fileName) {
    IniText text;
    std::ifstream in(fileName, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      text.lines.push_back(line);
    }
    return text;
  }

  bool Save(const std::string& fileName) const {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path(fileName);
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    // Write a sibling file and rename it over the old one, so a failed write never leaves
    // a half-written settings file behind.
    const fs::path temp = path.string() + ".tmp";
    {
      std::ofstream out(temp, std::ios::binary | std::ios::trunc);
      if (!out) return false;
      for (const auto& line : lines) out << line << '\n';
      out.flush();
      if (!out) {
        fs::remove(temp, ec);
        return false;
      }
    }
    fs::rename(temp, path, ec);
    if (ec) fs::remove(temp, ec);
    return !ec;
  }

  static std::optional<std::string> SectionName(const std::string& line) {
    const std::string t = Trim(line);
    if (t.size() >= 2 && t.front() == '[') {
      const auto close = t.find(']');
      if (close != std::string::npos) return Trim(t.substr(1, close - 1));
    }
    return std::nullopt;
  }

  static bool IsComment(const std::string& line) {
    const std::string t = Trim(line);
    return t.empty() || t[0] == ';' || t[0] == '#';
  }

  // [first, end) line range of a section's body; nullopt when the section is absent.
  std::optional<std::pair<size_t, size_t>> FindSection(const std::string& section) const {
    for (size_t i = 0; i < lines.size(); ++i) {
      const auto name = SectionName(lines[i]);
      if (!name || !SameName(*name, section)) continue;
      size_t end = i + 1;
      while (end < lines.size() && !SectionName(lines[end])) ++end;
      return std::make_pair(i + 1, end);
    }
    return std::nullopt;
  }

  static bool SplitKeyValue(const std::string& line, std::string& key, std::string& value) {
    if (IsComment(line) || SectionName(line)) return false;
    const auto eq = line.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(line.substr(0, eq));
    value = Trim(line.substr(eq + 1));
    return true;
  }

  std::optional<size_t> FindKey(const std::pair<size_t, size_t>& body, const std::string& key) const {
    std::string k, v;
    for (size_t i = body.first; i < body.second; ++i) {
      if (SplitKeyValue(lines[i], k, v) && SameName(k, key)) return i;
    }
    return std::nullopt;
  }
};

}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  const IniText text = IniText::Load(fileName_);
  const auto body = text.FindSection(section);
  if (!body) return defaultValue;
  const auto at = text.FindKey(*body, key);
  if (!at) return defaultValue;
  std::string k, v;
  IniText::SplitKeyValue(text.lines[*at], k, v);
  return v;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int defaultValue) const {
  std::string value = ReadString(section, key, "");
  if (value.empty()) return defaultValue;
  int base = 10;
  size_t start = 0;
  bool negative = false;
  if (value[0] == '-' || value[0] == '+') {
    negative = value[0] == '-';
    start = 1;
  }
  if (value.compare(start, 1, "$") == 0) {
    base = 16;
    start += 1;
  } else if (value.size() > start + 1 && value[start] == '0' && (value[start + 1] == 'x' || value[start + 1] == 'X')) {
    base = 16;
    start += 2;
  }
  const std::string digits = value.substr(start);
  if (digits.empty() || !std::isxdigit(static_cast<unsigned char>(digits[0]))) return defaultValue;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(digits.c_str(), &end, base);
  if (errno != 0 || *end != '\0') return defaultValue;
  const long long result = negative ? -parsed : parsed;
  if (result < INT32_MIN || result > INT32_MAX) return defaultValue;
  return static_cast<int>(result);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

bool TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  IniText text = IniText::Load(fileName_);
  const std::string line = key + "=" + value;
  if (const auto body = text.FindSection(section)) {
    if (const auto at = text.FindKey(*body, key)) {
      text.lines[*at] = line;
    } else {
      // Append after the section's last non-blank line.
      size_t insertAt = body->second;
      while (insertAt > body->first && Trim(text.lines[insertAt - 1]).empty()) --insertAt;
      text.lines.insert(text.lines.begin() + static_cast<long>(insertAt), line);
    }
  } else {
    if (!text.lines.empty() && !Trim(text.lines.back()).empty()) text.lines.emplace_back();
    text.lines.push_back("[" + section + "]");
    text.lines.push_back(line);
  }
  return text.Save(fileName_);
}

bool TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  return WriteString(section, key, std::to_string(value));
}

bool TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  return WriteString(section, key, value ? "1" : "0");
}

bool TIniFile::SectionExists(const std::string& section) const {
  return IniText::Load(fileName_).FindSection(section).has_value();
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  const IniText text = IniText::Load(fileName_);
  const auto body = text.FindSection(section);
  return body && text.FindKey(*body, key).has_value();
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  const IniText text = IniText::Load(fileName_);
  std::vector<std::string> keys;
  const auto body = text.FindSection(section);
  if (!body) return keys;
  std::string k, v;
  for (size_t i = body->first; i < body->second; ++i) {
    if (IniText::SplitKeyValue(text.lines[i], k, v)) keys.push_back(k);
  }
  return keys;
}

std::vector<std::string> TIniFile::ReadSections() const {
  std::vector<std::string> sections;
  for (const auto& line : IniText::Load(fileName_).lines) {
    if (auto name = IniText::SectionName(line)) sections.push_back(*name);
  }
  return sections;
}

bool TIniFile::EraseSection(const std::string& section) {
  IniText text = IniText::Load(fileName_);
  const auto body = text.FindSection(section);
  if (!body) return true;
  text.lines.erase(text.lines.begin() + static_cast<long>(body->first - 1),
                   text.lines.begin() + static_cast<long>(body->second));
  return text.Save(fileName_);
}

bool TIniFile::DeleteKey(const std::string& section, const std::string& key) {
  IniText text = IniText::Load(fileName_);
  const auto body = text.FindSection(section);
  if (!body) return true;
  const auto at = text.FindKey(*body, key);
  if (!at) return true;
  text.lines.erase(text.lines.begin() + static_cast<long>(*at));
  return text.Save(fileName_);
}

}  // namespace orvo
