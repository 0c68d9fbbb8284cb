// The peer of the json tool's whole-process comparison: read a file, parse it with RapidJSON's
// default flags, exit. Built with the project's compiler flags.

#include <rapidjson/document.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: rapidjson_read FILE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "rapidjson_read: cannot read %s\n", argv[1]);
    return 2;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  rapidjson::Document d;
  d.Parse(text.c_str(), text.size());
  return d.HasParseError() ? 1 : 0;
}
