// The ticket store against libplist reading the same file, at 1,000 and 10,000 tickets.
// Every figure is also printed as a ratio to that bare read, measured in the same run:
//   bare_read     read the file, plist_from_bin of the file and of the archive inside it
//   getTickets    the list, latest end first, from a store that has read the file before
//   getTickets_cold  the same from a new store object (decodes the whole file)
//   add           one ticket added (new identifier, archive re-encoded, atomic write + fsync)
//   home_refresh  what the home page does every 10 s: the list, both running tickets, the
//                 two latest expired ones and the minutes left
#include <benchmark/benchmark.h>
#include <plist/plist.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "platform/files.h"
#include "platform/format.h"
#include "tickets/ticket_manager.h"

namespace est {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kSizes[] = {1000, 10000};

const fs::path& workFolder() {
  static fs::path folder = [] {
    std::string pattern = (fs::temp_directory_path() / "est-tickets-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    return fs::path(pattern);
  }();
  return folder;
}

// One user's history: a ticket a day going back, and two running now.
std::vector<Ticket> history(int n) {
  const TimePoint now = std::chrono::system_clock::now();
  std::vector<Ticket> out;
  for (int i = 0; i < n; ++i) {
    Ticket t;
    t.license = strprintf("ABC %04d", i % 3);
    t.transactionId = 1700000000000LL + i;
    t.minutes = 30 * (1 + i % 4);
    t.timeStart = i < 2 ? now - 10min : now - 24h * i - 5h;
    t.timeEnd = *t.timeStart + std::chrono::minutes(*t.minutes) + (i < 2 ? 50min * (i + 1) : 0min);
    out.push_back(t);
  }
  return out;
}

// A store file holding `n` tickets, written once per size and copied for each benchmark.
const Data& seedFile(int n) {
  static std::map<int, Data> seeds;
  auto it = seeds.find(n);
  if (it != seeds.end()) return it->second;
  const fs::path file = workFolder() / strprintf("seed-%d.plist", n);
  TicketManager store(file);
  store.getTickets();
  if (!store.saveToDisk(history(n))) std::abort();
  return seeds[n] = *readFile(file);
}

fs::path freshStore(int n, const char* name) {
  const fs::path file = workFolder() / strprintf("%s-%d.plist", name, n);
  if (!writeFileAtomically(file, seedFile(n))) std::abort();
  return file;
}

void bareRead(benchmark::State& state) {
  const fs::path file = freshStore(static_cast<int>(state.range(0)), "bare");
  for (auto _ : state) {
    std::optional<Data> bytes = readFile(file);
    plist_t outer = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(bytes->data()),
                   static_cast<uint32_t>(bytes->size()), &outer);
    uint64_t length = 0;
    const char* archive = plist_get_data_ptr(plist_dict_get_item(outer, "MyTicketsList"), &length);
    plist_t inner = nullptr;
    plist_from_bin(archive, static_cast<uint32_t>(length), &inner);
    benchmark::DoNotOptimize(inner);
    plist_free(inner);
    plist_free(outer);
  }
}

void getTickets(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  TicketManager store(freshStore(n, "warm"));
  if (store.getTickets().size() != static_cast<size_t>(n)) state.SkipWithError("bad seed");
  for (auto _ : state) benchmark::DoNotOptimize(store.getTickets());
}

void getTicketsCold(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const fs::path file = freshStore(n, "cold");
  for (auto _ : state) {
    TicketManager store(file);
    benchmark::DoNotOptimize(store.getTickets());
  }
}

void add(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const fs::path file = freshStore(n, "add");
  TicketManager store(file);
  store.getTickets();
  const TimePoint now = std::chrono::system_clock::now();
  for (auto _ : state) {
    Ticket t{"ZX987", std::nullopt, now, now + 30min, 30};
    if (!store.add(t)) state.SkipWithError("add failed");
    state.PauseTiming();
    // Back to n tickets, then read once so the store is as warm as the app's would be.
    if (!writeFileAtomically(file, seedFile(n))) std::abort();
    store.getTickets();
    state.ResumeTiming();
  }
}

void homeRefresh(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  TicketManager store(freshStore(n, "home"));
  store.getTickets();
  double minutesLeft = 0;
  for (auto _ : state) {
    const TimePoint now = std::chrono::system_clock::now();
    std::vector<Ticket> tickets = store.getTickets();
    const Ticket* running = nullptr;
    const Ticket* second = nullptr;
    const Ticket* expired[2] = {nullptr, nullptr};
    for (const Ticket& t : tickets) {
      if (t.isActive(now)) {
        if (!running) {
          running = &t;
        } else if (!second && !t.isEqual(*running) &&
                   (t.timeEnd != running->timeEnd || t.timeStart != running->timeStart)) {
          second = &t;
        }
      } else if (!expired[0]) {
        expired[0] = &t;
      } else if (!expired[1]) {
        expired[1] = &t;
      }
      if (second && expired[1]) break;
    }
    if (running) minutesLeft = std::chrono::duration<double>(*running->timeEnd - now).count() / 60;
    benchmark::DoNotOptimize(minutesLeft);
    benchmark::DoNotOptimize(expired);
  }
  if (minutesLeft <= 0) state.SkipWithError("no running ticket found");
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      // The machine is shared: the best repetition is the one least disturbed by others.
      const double n = static_cast<double>(run.iterations);
      keepBest(real_, run.run_name.str(), run.real_accumulated_time * 1e3 / n);
      keepBest(cpu_, run.run_name.str(), run.cpu_accumulated_time * 1e3 / n);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    // Wall time counts the disk flush of add; CPU time is steadier when other work shares
    // the cores.
    table("wall", real_);
    table("CPU", cpu_);
    std::fflush(stdout);
  }

 private:
  using Times = std::map<std::string, double>;

  static void keepBest(Times& times, const std::string& name, double ms) {
    auto [it, fresh] = times.emplace(name, ms);
    if (!fresh) it->second = std::min(it->second, ms);
  }

  static double ms(const Times& times, const std::string& op, int n) {
    auto it = times.find(strprintf("tickets/%s/%d/real_time", op.c_str(), n));
    return it == times.end() ? NAN : it->second;
  }

  static void table(const char* kind, const Times& times) {
    std::printf("\n%s milliseconds per call (best repetition), and ratio to libplist's bare read\n",
                kind);
    std::printf("%-16s", "operation");
    for (int n : kSizes) std::printf(" %10d ms %9s", n, "ratio");
    std::printf("\n");
    for (const char* op : {"bare_read", "getTickets", "getTickets_cold", "add", "home_refresh"}) {
      std::printf("%-16s", op);
      for (int n : kSizes) {
        const double ours = ms(times, op, n), bare = ms(times, "bare_read", n);
        std::printf(" %13.3f %8.4fx", ours, bare > 0 ? ours / bare : 0.0);
      }
      std::printf("\n");
    }
  }

  Times real_;
  Times cpu_;
};

}  // namespace
}  // namespace est

int main(int argc, char** argv) {
  using namespace est;
  for (auto [name, fn] : {std::pair{"bare_read", &bareRead},
                          {"getTickets", &getTickets},
                          {"getTickets_cold", &getTicketsCold},
                          {"add", &add},
                          {"home_refresh", &homeRefresh}}) {
    auto* b = benchmark::RegisterBenchmark((std::string("tickets/") + name).c_str(), fn);
    for (int n : kSizes) b->Arg(n);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(workFolder(), ec);
  return 0;
}
