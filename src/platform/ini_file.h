#pragma once
// INI files with the semantics the settings rely on: section and key names match without regard
// to case, values are taken as they stand (commas are not lists, no quoting or escaping, only
// surrounding blanks are dropped), every operation reads the file afresh and every write reaches
// the file at once. A missing file, section or key gives the reader's default.
#include <string>
#include <vector>

namespace orvo {

class TIniFile {
 public:
  explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

  const std::string& FileName() const { return fileName_; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  // Decimal (or 0x/$ hexadecimal) integers; anything else gives the default.
  int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
  // Any non-zero integer is true.
  bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;

  // Each write returns false when the file could not be written; callers may ignore it.
  bool WriteString(const std::string& section, const std::string& key, const std::string& value);
  bool WriteInteger(const std::string& section, const std::string& key, int value);
  bool WriteBool(const std::string& section, const std::string& key, bool value);

  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;
  // Key names of a section in file order.
  std::vector<std::string> ReadSection(const std::string& section) const;
  std::vector<std::string> ReadSections() const;
  bool EraseSection(const std::string& section);
  bool DeleteKey(const std::string& section, const std::string& key);

 private:
  std::string fileName_;
};

}  // namespace orvo
