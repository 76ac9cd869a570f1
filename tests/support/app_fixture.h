#pragma once
// A private settings folder and home folder for each test of the application core, so that
// settings files, output folders and "$HOME/duzezoredizore" never touch the real ones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "platform/main_thread.h"
#include "support/test_media.h"

namespace orvo::testing {

class AppFolders : public ::testing::Test {
 protected:
  // For suites that convert: the libraries, this thread as the main one, a quiet log.
  static void UseConverter() {
    FFLoader().LoadLibraries(ConverterLibraries);
    SetMainThread();
    Logger().SetLogLevel(llQuiet);
  }

  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = std::filesystem::path(TestMediaDir()) /
            (std::string(info->test_suite_name()) + "." + info->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "home");
    std::filesystem::create_directories(root_ / "config");
    setenv("HOME", Home().c_str(), 1);
    setenv("ORVO_CONFIG_DIR", Config().c_str(), 1);
  }

  std::string Root() const { return root_.string(); }
  std::string Home() const { return (root_ / "home").string(); }
  std::string Config() const { return (root_ / "config").string(); }
  std::string SettingsPath() const { return (root_ / "config" / "orvoswfconverter.ini").string(); }
  std::string PathIn(const std::string& name) const { return (root_ / name).string(); }

 private:
  std::filesystem::path root_;
};

}  // namespace orvo::testing
