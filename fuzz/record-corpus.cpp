// Records the fuzz targets' seed corpora from real exchanges: the library's
// API runs a scenario against the simulated token in-process, every report
// in both directions is captured, and the seeds are cut from what was seen.
//
//   record-corpus SOURCE_DIR OUT_DIR
// writes OUT_DIR/fuzz_<target>/seed-NNN files (SOURCE_DIR supplies the
// sample program texts for the assembler target).
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "include/qkrsa.h"
#include "include/qktoken.h"
#include "sim/commands.h"
#include "sim/framing.h"
#include "sim/image.h"
#include "sim/samples.h"
#include "sim/state.h"
#include "tests/support/sim_backend.h"
#include "transport/des.h"
#include "transport/maker_key.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Report = std::array<uint8_t, 65>;

// One exchange as it crossed the device: the reports written, the reports
// read, and the session key in force.
struct Exchange {
  std::vector<Report> written;
  std::vector<Report> read;
  bool plain = false;
  std::array<uint8_t, 8> key{};
  Bytes command;  // the command image, deciphered
  Bytes answer;   // data + status word, deciphered
};

std::vector<Exchange> gExchanges;
std::array<uint8_t, 8> gKey{};

// Reassembles the bodies of a report sequence (already plain).
Bytes Payload(const std::vector<std::array<uint8_t, 64>>& bodies) {
  Bytes out;
  for (const auto& body : bodies)
    out.insert(out.end(), body.begin() + 6, body.begin() + 6 + body[5]);
  return out;
}

void Finish(Exchange* exchange) {
  std::vector<std::array<uint8_t, 64>> out, in;
  for (const Report& r : exchange->written) {
    std::array<uint8_t, 64> body{};
    if (exchange->plain)
      std::memcpy(body.data(), r.data() + 1, 64);
    else
      qk::TokenChainDecrypt(r.data() + 1, body.data(), exchange->key.data(), 64);
    out.push_back(body);
  }
  for (const Report& r : exchange->read) {
    std::array<uint8_t, 64> body{};
    if (exchange->plain)
      std::memcpy(body.data(), r.data() + 1, 64);
    else
      qk::ChainDecrypt(r.data() + 1, body.data(), exchange->key.data(), 64);
    in.push_back(body);
  }
  exchange->command = Payload(out);
  exchange->answer = Payload(in);
  if (exchange->plain && exchange->answer.size() == 66) {
    uint8_t opened[RSA_MAX_MODULUS_BYTES] = {};
    uint32_t length = 0;
    if (RsaPublicBlock(opened, &length, exchange->answer.data(), 64, &qk::MakerPublicKey()) == 0) {
      std::memcpy(gKey.data(), opened, gKey.size());
    }
  }
}

// Passes everything to the simulated token's device and keeps a copy.
class RecordingDevice : public qk::platform::Device {
 public:
  explicit RecordingDevice(qk::platform::Device* inner) : inner_(inner) {}
  ~RecordingDevice() override { delete inner_; }
  bool GetAttributes(uint16_t* v, uint16_t* p) override { return inner_->GetAttributes(v, p); }
  bool GetFeatureReportLength(uint16_t* l) override { return inner_->GetFeatureReportLength(l); }
  bool FlushInput() override { return inner_->FlushInput(); }
  // Each exchange uses one event from creation to close.
  qk::platform::IoEvent* CreateIoEvent() override {
    Exchange exchange;
    exchange.key = gKey;
    gExchanges.push_back(exchange);
    return inner_->CreateIoEvent();
  }
  void CloseIoEvent(qk::platform::IoEvent* e) override {
    if (!gExchanges.empty()) Finish(&gExchanges.back());
    inner_->CloseIoEvent(e);
  }
  qk::platform::IoStatus WriteReport(qk::platform::IoEvent* e, const uint8_t* report,
                                     uint32_t timeoutMs) override {
    Report copy;
    std::memcpy(copy.data(), report, copy.size());
    if (gExchanges.back().written.empty()) {
      gExchanges.back().plain = qksim::IsPlainSessionKeyReport(report);
    }
    gExchanges.back().written.push_back(copy);
    return inner_->WriteReport(e, report, timeoutMs);
  }
  qk::platform::IoStatus ReadReport(qk::platform::IoEvent* e, uint8_t* report,
                                    uint32_t timeoutMs) override {
    const qk::platform::IoStatus status = inner_->ReadReport(e, report, timeoutMs);
    if (status == qk::platform::IoStatus::kOk && !gExchanges.empty()) {
      Report copy;
      std::memcpy(copy.data(), report, copy.size());
      gExchanges.back().read.push_back(copy);
    }
    return status;
  }
  uint32_t HandleValue() const override { return inner_->HandleValue(); }

 private:
  qk::platform::Device* inner_;
};

class RecordingBackend : public qk::platform::Backend {
 public:
  explicit RecordingBackend(qk::platform::Backend* inner) : inner_(inner) {}
  qk::platform::InterfaceSet* OpenInterfaceSet() override { return inner_->OpenInterfaceSet(); }
  qk::platform::Device* OpenDevice(const char* path, qk::platform::IoMode io,
                                   qk::platform::ShareMode share, uint32_t* error) override {
    qk::platform::Device* device = inner_->OpenDevice(path, io, share, error);
    return device == nullptr ? nullptr : new RecordingDevice(device);
  }

 private:
  qk::platform::Backend* inner_;
};

// The scenario: most API families once, some failures on purpose.
void RunScenario() {
  QKContext contexts[4] = {};
  uint32_t count = 4;
  QKListDevices(contexts, &count);
  QKContext* ctx = &contexts[0];
  QKOpenDevice(ctx);
  const char* userPin = "60719283";
  const char* developerPin = "904817263590481726359048";
  QKVerifyPin(ctx, reinterpret_cast<const uint8_t*>("00000000"), 8, QK_PIN_USER);
  QKVerifyPin(ctx, reinterpret_cast<const uint8_t*>(userPin), 8, QK_PIN_USER);
  const uint8_t input[4] = {0x00, 0x05, 0x00, 0x08};
  uint8_t out[1100];
  uint32_t outLength = 0;
  QKExecute(ctx, "0001", input, 4, out, sizeof out, &outLength);
  QKExecute(ctx, "0001", input, 3, out, sizeof out, &outLength);
  for (uint32_t code : {QK_CTRL_GET_INFO_BYTE, QK_CTRL_GET_INFO_BLOCK, QK_CTRL_GET_CC_VALUE,
                        QK_CTRL_GET_CD_VALUE, QK_CTRL_GET_INFO_WORD}) {
    QKDeviceControl(ctx, code, nullptr, 0, out, sizeof out, &outLength);
  }
  QKVerifyPin(ctx, reinterpret_cast<const uint8_t*>(developerPin), 24, QK_PIN_DEVELOPER);
  QKMakeDir(ctx, "1000", 4096, QK_DIR_SUB);
  QKSelectDir(ctx, "1000");
  const Bytes& echo = qksim::SampleEchoProgram();
  QKMakeAndStoreFile(ctx, "0002", 0, echo.data(), static_cast<uint32_t>(echo.size()),
                     static_cast<uint32_t>(echo.size()), 0, 0, 0x02);
  Bytes big(700);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  QKExecute(ctx, "0002", big.data(), static_cast<uint32_t>(big.size()), out, sizeof out,
            &outLength);
  QKMakeFile(ctx, "0003", 256, 0x01);
  QKStoreFile(ctx, "0003", 0, big.data(), 200);
  QKStoreFile(ctx, "0003", 250, big.data(), 10);
  QKDeviceControl(ctx, QK_CTRL_GET_FILE_RECORD, reinterpret_cast<const uint8_t*>("0003"), 4, out,
                  sizeof out, &outLength);
  uint8_t first[300], second[700];
  uint32_t firstLength = sizeof first, secondLength = sizeof second;
  QKGenerateRsaKeyPair(ctx, 512, 65537, "0010", "0011", first, &firstLength, second, &secondLength);
  const uint8_t value[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  QKDeviceControl(ctx, QK_CTRL_SEND_25, value, 16, out, sizeof out, &outLength);
  QKDeviceControl(ctx, QK_CTRL_SEND_CB, value, 16, out, sizeof out, &outLength);
  QKUpdatePin(ctx, reinterpret_cast<const uint8_t*>(userPin), 8,
              reinterpret_cast<const uint8_t*>("12345678"), 8, QK_PIN_USER, 5);
  QKSelectDir(ctx, "3F00");
  QKSelectDir(ctx, "1000");
  QKWipeDir(ctx, "0000");
  QKDeviceControl(ctx, QK_CTRL_MODE_2, nullptr, 0, out, sizeof out, &outLength);
  QKCloseDevice(ctx);
}

class Writer {
 public:
  explicit Writer(std::string root) : root_(std::move(root)) {}
  void Put(const std::string& target, const Bytes& bytes) {
    const std::string dir = root_ + "/" + target;
    std::string mk = "mkdir -p '" + dir + "'";
    if (std::system(mk.c_str()) != 0) return;
    char name[32];
    std::snprintf(name, sizeof name, "/seed-%03d", counts_[target]++);
    std::ofstream(dir + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }

 private:
  std::string root_;
  std::map<std::string, int> counts_;
};

void PutBe16(size_t v, Bytes* out) {
  out->push_back(static_cast<uint8_t>(v >> 8));
  out->push_back(static_cast<uint8_t>(v));
}

void Append(Bytes* out, const uint8_t* p, size_t n) { out->insert(out->end(), p, p + n); }

// A key-pair answer's blocks as library key records.
void KeyRecords(const Bytes& answer, RsaPublicKey* pub, RsaPrivateKey* priv) {
  const size_t k = 64, half = 32;
  std::memset(pub, 0, sizeof *pub);
  std::memset(priv, 0, sizeof *priv);
  pub->bitLength = priv->bitLength = 512;
  std::memcpy(pub->modulus + 128 - k, answer.data() + 12, k);
  std::memcpy(pub->publicExponent + 124, answer.data() + 4, 4);
  std::memcpy(priv->modulus, pub->modulus, 128);
  std::memcpy(priv->publicExponent, pub->publicExponent, 128);
  const uint8_t* p = answer.data() + 12 + k + 20;
  uint8_t* fields[5] = {priv->prime1, priv->prime2, priv->exponent1, priv->exponent2,
                        priv->coefficient};
  for (int i = 0; i < 5; ++i) std::memcpy(fields[i] + 64 - half, p + i * half, half);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: record-corpus SOURCE_DIR OUT_DIR\n");
    return 2;
  }
  const std::string source = argv[1];
  Writer w(argv[2]);
  {
    qktest::SimBackend sim(1);
    RecordingBackend recording(&sim);
    qk::platform::SetBackendForTesting(&recording);
    RunScenario();
    qk::platform::SetBackendForTesting(nullptr);
  }
  std::fprintf(stderr, "%zu exchanges recorded\n", gExchanges.size());

  // Exchange receive: the answer reports as they arrived (with the key), and
  // as plain bodies for the harness to encipher.
  for (const Exchange& e : gExchanges) {
    Bytes raw = {static_cast<uint8_t>(e.plain ? 0x00 : 0x01)};
    PutBe16(e.command.size(), &raw);
    Append(&raw, e.key.data(), 8);
    for (const Report& r : e.read) Append(&raw, r.data(), r.size());
    w.Put("fuzz_exchange_receive", raw);
    if (e.plain || e.read.size() < 2) continue;
    Bytes plain = {0x03};
    PutBe16(e.command.size(), &plain);
    Append(&plain, e.key.data(), 8);
    for (const Report& r : e.read) {
      Report body{};
      qk::ChainDecrypt(r.data() + 1, body.data() + 1, e.key.data(), 64);
      Append(&plain, body.data(), body.size());
    }
    w.Put("fuzz_exchange_receive", plain);
  }

  // Token framing and commands: the deciphered commands, a few per seed.
  std::vector<Bytes> commands;
  for (const Exchange& e : gExchanges) {
    if (!e.plain) commands.push_back(e.command);
  }
  Bytes all = {0x00};
  for (size_t start = 0; start < commands.size(); start += 4) {
    Bytes framing, interp = {0x00};
    for (size_t i = start; i < commands.size() && i < start + 4; ++i) {
      const Bytes& c = commands[i];
      framing.push_back(static_cast<uint8_t>(0x08 | (i % 3)));  // whole command on session i % 3
      PutBe16(c.size(), &framing);
      Append(&framing, c.data(), c.size());
      PutBe16(c.size(), &interp);
      Append(&interp, c.data(), c.size());
    }
    w.Put("fuzz_token_framing", framing);
    w.Put("fuzz_token_commands", interp);
    interp[0] = 0x03;  // the same commands with both PINs verified beforehand
    w.Put("fuzz_token_commands", interp);
  }
  // The scenario in one go, on one session, with a re-key and a reopen.
  {
    Bytes framing;
    Bytes interp = {0x00};
    for (size_t i = 0; i < commands.size() && i < 28; ++i) {
      framing.push_back(0x08);
      PutBe16(commands[i].size(), &framing);
      Append(&framing, commands[i].data(), commands[i].size());
      PutBe16(commands[i].size(), &interp);
      Append(&interp, commands[i].data(), commands[i].size());
    }
    framing.push_back(0x0C);  // re-key session 0
    framing.push_back(0x11);  // reopen session 2
    w.Put("fuzz_token_framing", framing);
    w.Put("fuzz_token_commands", interp);
    // Raw and pre-cut report bodies of the first exchanges.
    Bytes raw;
    for (const Exchange& e : gExchanges) {
      for (const Report& r : e.written) {
        raw.push_back(0x00);
        Append(&raw, r.data(), r.size());
      }
      if (raw.size() > 1200) break;
    }
    w.Put("fuzz_token_framing", raw);
  }

  // Virtual machine: the sample programs on typical inputs.
  const std::vector<const Bytes*> programs = {
      &qksim::SampleAddProgram(), &qksim::SampleEchoProgram(), &qksim::SampleReverseProgram(),
      &qksim::SampleChecksumProgram()};
  const Bytes inputs[] = {{0x00, 0x05, 0x00, 0x08}, {0xFF, 0xFF, 0x00, 0x02}, Bytes(40, 0x5A), {}};
  for (const Bytes* program : programs) {
    for (const Bytes& input : inputs) {
      Bytes seed = {0x00};
      PutBe16(program->size(), &seed);
      Append(&seed, program->data(), program->size());
      Append(&seed, input.data(), input.size());
      w.Put("fuzz_vm", seed);
    }
    Bytes headless = {0x03, 0x01, 0x00};  // own header, 256 bytes of memory
    PutBe16(program->size() - 8, &headless);
    Append(&headless, program->data() + 8, program->size() - 8);
    Append(&headless, inputs[0].data(), inputs[0].size());
    w.Put("fuzz_vm", headless);
  }

  // Assembler: the sample program sources.
  for (const char* name : {"add16", "echo", "reverse", "checksum"}) {
    std::ifstream file(source + "/sim/programs/" + name + ".qasm", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    const std::string s = text.str();
    w.Put("fuzz_assembler", Bytes(s.begin(), s.end()));
  }

  // Images: the token as shipped and after the scenario's commands.
  {
    qksim::Random random;
    qksim::TokenState state = qksim::DefaultState(&random);
    qksim::SessionState session;
    session.currentDirectory = state.fileSystem.RootHandle();
    session.userEpoch = session.developerEpoch = 1;
    auto putImage = [&w](const qksim::TokenState& s) {
      Bytes image = qksim::EncodeImage(s);
      Bytes seed = {0x00};
      Append(&seed, image.data(), image.size());
      w.Put("fuzz_image", seed);
      seed[0] = 0x01;
      w.Put("fuzz_image", seed);
    };
    putImage(state);
    for (size_t i = 0; i < commands.size(); ++i) {
      qksim::CommandEnvironment env{&state, &session, &random, 1};
      qksim::RunCommand(commands[i], &env);
      if (i % 6 == 5) putImage(state);
    }
    putImage(state);
  }

  // RSA: the session-key block under the maker key, and the token's key pair.
  for (const Exchange& e : gExchanges) {
    if (e.plain && e.answer.size() == 66) {
      for (uint8_t op : {uint8_t{0x00}, uint8_t{0x01}}) {
        Bytes seed = {op};
        const RsaPublicKey& key = qk::MakerPublicKey();
        PutBe16(key.bitLength, &seed);
        Append(&seed, key.modulus, 128);
        Append(&seed, key.publicExponent, 128);
        seed.push_back(64);
        Append(&seed, e.answer.data(), 64);
        w.Put("fuzz_rsa", seed);
      }
      break;
    }
  }
  for (const Exchange& e : gExchanges) {
    if (e.plain || e.command.size() < 2 || e.command[1] != 0x46 || e.answer.size() != 258) continue;
    RsaPublicKey pub;
    RsaPrivateKey priv;
    KeyRecords(e.answer, &pub, &priv);
    for (uint8_t op : {uint8_t{0x02}, uint8_t{0x03}}) {
      Bytes seed = {op};
      PutBe16(priv.bitLength, &seed);
      Append(&seed, reinterpret_cast<const uint8_t*>(&priv) + 4, sizeof priv - 4);
      seed.push_back(op == 0x02 ? 64 : 20);
      for (int i = 0; i < (op == 0x02 ? 64 : 20); ++i) seed.push_back(static_cast<uint8_t>(i + 1));
      w.Put("fuzz_rsa", seed);
    }
    Bytes seed = {0x01};
    PutBe16(pub.bitLength, &seed);
    Append(&seed, pub.modulus, 128);
    Append(&seed, pub.publicExponent, 128);
    seed.push_back(64);
    Append(&seed, pub.modulus + 64, 64);  // the modulus itself: refused
    w.Put("fuzz_rsa", seed);
  }
  // Arithmetic: one seed per operation, with full-size operands.
  for (uint8_t op = 4; op < 10; ++op) {
    Bytes seed = {op, 33, 33, 8};
    for (int i = 0; i < 33 * 4 * 3; ++i) seed.push_back(static_cast<uint8_t>(i * 37 + op));
    w.Put("fuzz_rsa", seed);
  }
  return 0;
}
