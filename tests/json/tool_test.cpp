#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#ifdef EST_JSON_TOOL

namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out, err;
};

class JsonTool : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("est_json_tool_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }
  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // Runs the tool with `args` (already quoted as needed) and `input` on standard input.
  Result run(const std::string& args, const std::string& input = "") {
    std::string in = write("stdin", input);
    std::string cmd = std::string("'") + EST_JSON_TOOL + "' " + args + " < '" + in + "' > '" +
                      (dir_ / "out").string() + "' 2> '" + (dir_ / "err").string() + "'";
    int rc = std::system(cmd.c_str());
    Result r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = read(dir_ / "out");
    r.err = read(dir_ / "err");
    return r;
  }

  fs::path dir_;
};

TEST_F(JsonTool, WritesBackWhatItAccepts) {
  Result r = run("", "{ \"b\" : [1, 2.50], \"a\" : null }");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\"b\":[1,2.50],\"a\":null}\n");
  EXPECT_EQ(r.err, "");

  r = run("--pretty --sort-keys " + write("in.json", "{\"b\":[1],\"a\":{}}"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\n  \"a\" : {},\n  \"b\" : [\n    1\n  ]\n}\n");

  r = run("--check -", "[1]");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");

  r = run("--fragment", "\"caf\\u00e9\"");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\"caf\xC3\xA9\"\n");
}

TEST_F(JsonTool, PrintsTheTraceInnermostFirstAndExitsOne) {
  Result r = run("", "[1,[2,]]");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(
      r.err,
      "code 9: Trailing comma disallowed in array\ncode 3: Expected value while parsing array\n");

  r = run("", "\"text\"");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "code 4: Valid fragment, but not JSON\n");

  r = run("--max-depth 1", "[[1]]");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "code 7: Nested too deep\ncode 3: Expected value while parsing array\n");

  r = run("--max-depth=0 --check", std::string(10000, '[') + std::string(10000, ']'));
  EXPECT_EQ(r.status, 0);

  r = run("", "");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "code 11: Unexpected end of string\n");
}

TEST_F(JsonTool, UnreadableInputOrBadUsageExitsTwo) {
  Result r = run("'" + (dir_ / "missing.json").string() + "'");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("missing.json"), std::string::npos);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

  r = run("'" + dir_.string() + "'");  // a directory cannot be read as a file
  EXPECT_EQ(r.status, 2);

  EXPECT_EQ(run("--bogus", "[]").status, 2);
  EXPECT_EQ(run("--max-depth", "[]").status, 2);
  EXPECT_EQ(run("--max-depth -3", "[]").status, 2);
  EXPECT_EQ(run("a.json b.json", "[]").status, 2);
}

}  // namespace

#endif
