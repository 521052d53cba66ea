// RSA block operations against OpenSSL in the same run.
//
//   public 512:   RsaPublicBlock, e = 65537, versus OpenSSL building the key
//                 from scratch every time (RSA_new, RSA_set0_key,
//                 RSA_public_encrypt without padding, RSA_free)
//   private 1024: RsaPrivateBlock versus RSA_private_decrypt without padding
//
// The ratios ours / OpenSSL are printed after the table.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "qkrsa.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put(uint8_t* field, int width, const BIGNUM* value) { BN_bn2binpad(value, field, width); }

struct Fixture {
  RSA* rsa = nullptr;
  RsaPublicKey pub{};
  RsaPrivateKey priv{};
  Bytes n, e, input;
  int k = 0;

  explicit Fixture(int bits) {
    rsa = RSA_new();
    BIGNUM* f4 = BN_new();
    BN_set_word(f4, RSA_F4);
    RSA_generate_key_ex(rsa, bits, f4, nullptr);
    BN_free(f4);
    const BIGNUM *bn_n, *bn_e, *bn_d, *p, *q, *dp, *dq, *qinv;
    RSA_get0_key(rsa, &bn_n, &bn_e, &bn_d);
    RSA_get0_factors(rsa, &p, &q);
    RSA_get0_crt_params(rsa, &dp, &dq, &qinv);
    k = (bits + 7) / 8;
    pub.bitLength = priv.bitLength = static_cast<uint32_t>(bits);
    Put(pub.modulus, 128, bn_n);
    Put(pub.publicExponent, 128, bn_e);
    Put(priv.modulus, 128, bn_n);
    Put(priv.publicExponent, 128, bn_e);
    Put(priv.privateExponent, 128, bn_d);
    // The key record wants the larger prime first.
    const bool swap = BN_cmp(p, q) < 0;
    BIGNUM* coefficient = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    BN_mod_inverse(coefficient, swap ? p : q, swap ? q : p, ctx);
    Put(priv.prime1, 64, swap ? q : p);
    Put(priv.prime2, 64, swap ? p : q);
    Put(priv.exponent1, 64, swap ? dq : dp);
    Put(priv.exponent2, 64, swap ? dp : dq);
    Put(priv.coefficient, 64, coefficient);
    BN_free(coefficient);
    BN_CTX_free(ctx);
    n.assign(pub.modulus + 128 - k, pub.modulus + 128);
    e = {0x01, 0x00, 0x01};
    input = n;
    input[0] = static_cast<uint8_t>(input[0] - 1);  // below the modulus
  }
  ~Fixture() { RSA_free(rsa); }
};

Fixture& Key512() {
  static Fixture f(512);
  return f;
}
Fixture& Key1024() {
  static Fixture f(1024);
  return f;
}

void OursPublic512(benchmark::State& state) {
  Fixture& f = Key512();
  Bytes out(f.k);
  uint32_t length = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        RsaPublicBlock(out.data(), &length, f.input.data(), static_cast<uint32_t>(f.k), &f.pub));
    benchmark::ClobberMemory();
  }
}

void OpenSslPublic512(benchmark::State& state) {
  Fixture& f = Key512();
  Bytes out(f.k);
  for (auto _ : state) {
    RSA* rsa = RSA_new();
    RSA_set0_key(rsa, BN_bin2bn(f.n.data(), f.k, nullptr),
                 BN_bin2bn(f.e.data(), static_cast<int>(f.e.size()), nullptr), nullptr);
    benchmark::DoNotOptimize(
        RSA_public_encrypt(f.k, f.input.data(), out.data(), rsa, RSA_NO_PADDING));
    RSA_free(rsa);
    benchmark::ClobberMemory();
  }
}

void OursPrivate1024(benchmark::State& state) {
  Fixture& f = Key1024();
  Bytes out(f.k);
  uint32_t length = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(RsaPrivateBlock(out.data(), &length, f.input.data(),
                                             static_cast<uint32_t>(f.k), &f.priv));
    benchmark::ClobberMemory();
  }
}

void OpenSslPrivate1024(benchmark::State& state) {
  Fixture& f = Key1024();
  Bytes out(f.k);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        RSA_private_decrypt(f.k, f.input.data(), out.data(), f.rsa, RSA_NO_PADDING));
    benchmark::ClobberMemory();
  }
}

BENCHMARK(OursPublic512);
BENCHMARK(OpenSslPublic512);
BENCHMARK(OursPrivate1024);
BENCHMARK(OpenSslPrivate1024);

// Console output as usual, keeping each benchmark's CPU time per iteration
// (steadier than wall time on a shared machine).
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) times[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const struct {
    const char* label;
    const char* ours;
    const char* theirs;
    double limit;
  } pairs[] = {
      {"public 512, e=65537 (OpenSSL from scratch)", "OursPublic512", "OpenSslPublic512", 2.0},
      {"private 1024 (CRT)", "OursPrivate1024", "OpenSslPrivate1024", 10.0},
  };
  for (const auto& pair : pairs) {
    auto ours = reporter.times.find(pair.ours);
    auto theirs = reporter.times.find(pair.theirs);
    if (ours == reporter.times.end() || theirs == reporter.times.end()) continue;
    std::printf("ratio ours/OpenSSL, %s: %.2f (target at most %.0f)\n", pair.label,
                ours->second / theirs->second, pair.limit);
  }
  benchmark::Shutdown();
  return 0;
}
