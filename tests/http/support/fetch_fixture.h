#pragma once

// Runs the built fetch tool in a private folder and keeps what it printed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "http/support/test_server.h"

namespace est::testing {

class FetchFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = std::filesystem::temp_directory_path() / ("est-fetch-" + std::to_string(::getpid()) +
                                                    "-" + info->test_suite_name() + info->name());
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // Runs fetch with `args` (already shell-quoted); returns the exit status.
  int fetch(const std::string& args) {
    std::string cmd = std::string(EST_FETCH_PATH) + " " + args + " >" + (dir / "out").string() +
                      " 2>" + (dir / "err").string();
    int status = std::system(cmd.c_str());
    out = slurp(dir / "out");
    err = slurp(dir / "err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::filesystem::path dir;
  std::string out, err;
};

}  // namespace est::testing
