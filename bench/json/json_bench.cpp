// Reads and writes three reference documents with our codec, nlohmann::json and RapidJSON in
// the same run, then prints each peer's throughput next to ours and the ratio.
//
// Throughput is always counted on the input document's size, so ratios are ratios of time.

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "json/json.h"

namespace {

const char* const kFiles[] = {"twitter", "canada", "citm_catalog"};

const std::string& document(const std::string& name) {
  static std::map<std::string, std::string> cache;
  auto it = cache.find(name);
  if (it != cache.end()) return it->second;
  std::ifstream in(std::string(EST_JSON_BENCH_DATA) + "/" + name + ".json", std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return cache[name] = ss.str();
}

void setBytes(benchmark::State& state, const std::string& text) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

void parseOurs(benchmark::State& state, std::string name) {
  const std::string& text = document(name);
  est::LxJsonParser parser;
  for (auto _ : state) {
    std::optional<est::Json> value = parser.objectWithString(text);
    if (!value) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(value);
  }
  setBytes(state, text);
}

void parseNlohmann(benchmark::State& state, std::string name) {
  const std::string& text = document(name);
  for (auto _ : state) {
    nlohmann::json value = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(value);
  }
  setBytes(state, text);
}

void parseRapid(benchmark::State& state, std::string name) {
  const std::string& text = document(name);
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(text.c_str(), text.size());
    if (d.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(d);
  }
  setBytes(state, text);
}

void writeOurs(benchmark::State& state, std::string name) {
  const std::string& text = document(name);
  est::LxJsonParser parser;
  std::optional<est::Json> value = parser.objectWithString(text);
  if (!value) {
    state.SkipWithError("parse failed");
    return;
  }
  est::LxJsonWriter writer;
  for (auto _ : state) {
    std::optional<std::string> out = writer.stringWithObject(*value);
    benchmark::DoNotOptimize(out);
  }
  setBytes(state, text);
}

void writeNlohmann(benchmark::State& state, std::string name) {
  const std::string& text = document(name);
  nlohmann::json value = nlohmann::json::parse(text);
  for (auto _ : state) {
    std::string out = value.dump();
    benchmark::DoNotOptimize(out);
  }
  setBytes(state, text);
}

void writeRapid(benchmark::State& state, std::string name) {
  const std::string& text = document(name);
  rapidjson::Document d;
  d.Parse(text.c_str(), text.size());
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    d.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  setBytes(state, text);
}

// Console output as usual, plus a summary of our throughput against each peer at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // With repetitions the median stands for the benchmark; otherwise its single run does.
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      const std::string name = run.run_name.function_name;
      if (median || !medians_.count(name)) rates_[name] = it->second.value;
      if (median) medians_.insert(name);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::FILE* out = stdout;
    std::fprintf(out, "\nThroughput in MB/s (10^6 bytes of input per second)\n");
    std::fprintf(out, "%-6s %-13s %9s %9s %9s %12s %12s\n", "op", "file", "ours", "nlohmann",
                 "rapidjson", "ours/nlohm", "ours/rapid");
    for (const char* op : {"parse", "write"}) {
      for (const char* file : kFiles) {
        double ours = rate(op, "ours", file), nl = rate(op, "nlohmann", file),
               rj = rate(op, "rapidjson", file);
        std::fprintf(out, "%-6s %-13s %9.1f %9.1f %9.1f %11.2fx %11.2fx\n", op, file, ours / 1e6,
                     nl / 1e6, rj / 1e6, nl > 0 ? ours / nl : 0.0, rj > 0 ? ours / rj : 0.0);
      }
    }
    std::fflush(out);
  }

 private:
  double rate(const std::string& op, const std::string& lib, const std::string& file) const {
    auto it = rates_.find(op + "/" + lib + "/" + file);
    return it == rates_.end() ? 0.0 : it->second;
  }
  std::map<std::string, double> rates_;
  std::set<std::string> medians_;
};

void registerAll() {
  for (const char* file : kFiles) {
    std::string f = file;
    benchmark::RegisterBenchmark(("parse/ours/" + f).c_str(), parseOurs, f)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("parse/nlohmann/" + f).c_str(), parseNlohmann, f)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("parse/rapidjson/" + f).c_str(), parseRapid, f)
        ->Unit(benchmark::kMillisecond);
  }
  for (const char* file : kFiles) {
    std::string f = file;
    benchmark::RegisterBenchmark(("write/ours/" + f).c_str(), writeOurs, f)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("write/nlohmann/" + f).c_str(), writeNlohmann, f)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("write/rapidjson/" + f).c_str(), writeRapid, f)
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  registerAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
