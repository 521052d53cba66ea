// DES speed beside OpenSSL's, measured in the same run.
//
// The chained report cipher re-keys for every block, so each measured unit is
// a key schedule plus one block: DesCryptBlock with a new key every iteration
// against DES_set_key_unchecked + DES_ecb_encrypt, and ChainEncrypt of one
// 64-byte report against eight such OpenSSL operations chained the same way.
// After the runs, the ratio ours / OpenSSL is printed for each pair.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "transport/des.h"

namespace {

constexpr int kReportBytes = 64;

// Cheap key stream so that each iteration uses a fresh key.
inline void NextKey(uint8_t* key, uint64_t* state) {
  *state = *state * 6364136223846793005ull + 1442695040888963407ull;
  std::memcpy(key, state, 8);
}

void BM_QkDesBlock(benchmark::State& state) {
  uint8_t key[8];
  uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint64_t seed = 1;
  for (auto _ : state) {
    NextKey(key, &seed);
    qk::DesCryptBlock(block, block, key, qk::kDesEncrypt);
    benchmark::DoNotOptimize(block);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QkDesBlock);

void BM_OpenSslDesBlock(benchmark::State& state) {
  DES_cblock key;
  DES_cblock block = {1, 2, 3, 4, 5, 6, 7, 8};
  DES_key_schedule schedule;
  uint64_t seed = 1;
  for (auto _ : state) {
    NextKey(key, &seed);
    DES_set_key_unchecked(&key, &schedule);
    DES_ecb_encrypt(&block, &block, &schedule, DES_ENCRYPT);
    benchmark::DoNotOptimize(block);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenSslDesBlock);

void BM_QkChainEncryptReport(benchmark::State& state) {
  uint8_t sessionKey[8];
  uint8_t report[kReportBytes] = {};
  uint64_t seed = 7;
  NextKey(sessionKey, &seed);
  for (auto _ : state) {
    qk::ChainEncrypt(report, report, sessionKey, kReportBytes);
    benchmark::DoNotOptimize(report);
  }
  state.SetBytesProcessed(state.iterations() * kReportBytes);
}
BENCHMARK(BM_QkChainEncryptReport);

// The same chain built from OpenSSL calls: eight key schedules and blocks.
void BM_OpenSslChainEncryptReport(benchmark::State& state) {
  uint8_t sessionKey[8];
  uint8_t report[kReportBytes] = {};
  uint64_t seed = 7;
  NextKey(sessionKey, &seed);
  DES_key_schedule schedule;
  for (auto _ : state) {
    DES_cblock blockKey;
    std::memcpy(blockKey, sessionKey, 8);
    for (int at = 0; at < kReportBytes; at += 8) {
      auto* block = reinterpret_cast<DES_cblock*>(report + at);
      DES_set_key_unchecked(&blockKey, &schedule);
      DES_ecb_encrypt(block, block, &schedule, DES_ENCRYPT);
      for (int i = 0; i < 8; ++i) blockKey[i] = static_cast<uint8_t>(report[at + i] ^ sessionKey[i]);
    }
    benchmark::DoNotOptimize(report);
  }
  state.SetBytesProcessed(state.iterations() * kReportBytes);
}
BENCHMARK(BM_OpenSslChainEncryptReport);

// Keeps the per-iteration CPU time of every run so that main can print ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        nsPerIteration_[run.benchmark_name()] =
            run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio(const char* label, const std::string& ours, const std::string& theirs) const {
    const auto a = nsPerIteration_.find(ours);
    const auto b = nsPerIteration_.find(theirs);
    if (a == nsPerIteration_.end() || b == nsPerIteration_.end() || b->second <= 0) return;
    std::printf("%-34s ours %8.1f ns  OpenSSL %8.1f ns  ratio %.2fx\n", label, a->second,
                b->second, a->second / b->second);
  }

 private:
  std::map<std::string, double> nsPerIteration_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.PrintRatio("key schedule + block:", "BM_QkDesBlock", "BM_OpenSslDesBlock");
  reporter.PrintRatio("64-byte report, chained:", "BM_QkChainEncryptReport",
                      "BM_OpenSslChainEncryptReport");
  benchmark::Shutdown();
  return 0;
}
