// What the exchange lock and the session-generation check add to one small
// exchange over the virtual link, measured side by side in one run: the
// token's information query (one report each way) sent bare with
// ExchangeCommand, and the same through Channel::Transmit, which takes the
// token's lock, reads the generation and releases the lock around it. The
// lock and generation alone are measured too. The difference and the ratio
// print after the table.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "api/mutex_name.h"
#include "platform/platform.h"
#include "sim/link/link_server.h"
#include "transport/channel.h"
#include "transport/exchange.h"
#include "transport/session_key.h"

namespace {

// One simulated token served on a Unix-domain socket for the whole run, with
// a private lock directory.
struct Served {
  Served() {
    std::string base = (std::filesystem::temp_directory_path() / "qkbench-XXXXXX").string();
    if (mkdtemp(base.data()) == nullptr) std::abort();
    directory = base;
    std::filesystem::create_directory(base + "/run");
    std::filesystem::permissions(base + "/run", std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", (base + "/run").c_str(), 1);
    qksim::link::LinkOptions options;
    options.directory = base;
    server = std::make_unique<qksim::link::LinkServer>(token, options);
    std::string error;
    if (!server->Start(&error)) std::abort();
    path = "qkvirtual:" + server->EntryPath();
  }
  ~Served() {
    server.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }
  qk::platform::Device* Open() const {
    qk::platform::DeviceStatus status = qk::platform::DeviceStatus::kFailed;
    return qk::platform::OpenDevice(path.c_str(), qk::platform::ShareMode::kShared, &status);
  }
  qksim::Token token;
  std::unique_ptr<qksim::link::LinkServer> server;
  std::string directory, path;
};

Served& Token() {
  static Served served;
  return served;
}

qk::CommandRecord InfoQuery() {
  qk::CommandRecord record{};
  record.bytes[qk::kIns] = 0xCA;
  record.bytesToSend = 6;
  return record;
}

void BM_ExchangeBare(benchmark::State& state) {
  std::unique_ptr<qk::platform::Device> device(Token().Open());
  qk::CommandRecord record;
  qk::BuildSessionKeyCommand(&record);
  uint8_t key[8];
  if (!device || qk::ExchangeCommand(device.get(), &record, key) != 0 ||
      qk::OpenSessionKeyAnswer(&record, key) != 0) {
    state.SkipWithError("no key");
    return;
  }
  for (auto _ : state) {
    record = InfoQuery();
    if (qk::ExchangeCommand(device.get(), &record, key) != 0) state.SkipWithError("exchange");
  }
}
BENCHMARK(BM_ExchangeBare)->MinTime(0.5)->Repetitions(5);

void BM_ExchangeThroughChannel(benchmark::State& state) {
  qk::platform::Device* device = Token().Open();
  qk::platform::NamedMutex* lock =
      device ? qk::CreateDeviceMutex(false, Token().path.c_str(), device) : nullptr;
  if (lock == nullptr) {
    delete device;
    state.SkipWithError("no lock");
    return;
  }
  qk::Channel channel(device, lock);
  if (channel.AgreeSessionKey() != 0) {
    state.SkipWithError("no key");
    return;
  }
  for (auto _ : state) {
    qk::CommandRecord record = InfoQuery();
    if (channel.Transmit(&record) != 0) state.SkipWithError("exchange");
  }
}
BENCHMARK(BM_ExchangeThroughChannel)->MinTime(0.5)->Repetitions(5);

void BM_LockAndGenerationAlone(benchmark::State& state) {
  std::unique_ptr<qk::platform::Device> device(Token().Open());
  std::unique_ptr<qk::platform::NamedMutex> lock(
      device ? qk::CreateDeviceMutex(false, Token().path.c_str(), device.get()) : nullptr);
  if (!lock) {
    state.SkipWithError("no lock");
    return;
  }
  uint64_t generation = 0, seen = 0;
  for (auto _ : state) {
    lock->PeekGeneration(&seen);
    lock->Lock(1000);
    lock->ReadGeneration(&generation);
    lock->Unlock();
    benchmark::DoNotOptimize(generation + seen);
  }
}
BENCHMARK(BM_LockAndGenerationAlone)->Repetitions(5);

// Prints the overhead per exchange after the table (real time: the exchange
// waits on the simulated token's thread).
class OverheadReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // With repetitions, the medians speak; a single run speaks for itself.
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Iteration && medians_.count(run.run_name.function_name) == 0) {
        times_[run.run_name.function_name] = run.GetAdjustedRealTime();
      } else if (median) {
        medians_.insert(run.run_name.function_name);
        times_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double bare = times_["BM_ExchangeBare"], channel = times_["BM_ExchangeThroughChannel"];
    const double alone = times_["BM_LockAndGenerationAlone"];
    if (bare <= 0 || channel <= 0) return;
    std::printf(
        "\nlock + generation per exchange: %.2f us (%.1f%% of a bare exchange of %.2f us); "
        "alone, without an exchange: %.2f us\n",
        (channel - bare) / 1000.0, 100.0 * (channel - bare) / bare, bare / 1000.0, alone / 1000.0);
  }

 private:
  std::map<std::string, double> times_;
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  OverheadReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
