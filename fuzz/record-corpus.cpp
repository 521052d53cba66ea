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

// Deciphers and reassembles the bodies of a report sequence.
Bytes Payload(const Exchange& e, const std::vector<Report>& reports, bool written) {
  Bytes out;
  for (const Report& r : reports) {
    std::array<uint8_t, 64> body{};
    if (e.plain) {
      std::memcpy(body.data(), r.data() + 1, 64);
    } else {
      const auto decrypt = written ? qk::TokenChainDecrypt : qk::ChainDecrypt;
      decrypt(r.data() + 1, body.data(), e.key.data(), 64);
    }
    out.insert(out.end(), body.begin() + 6, body.begin() + 6 + body[5]);
  }
  return out;
}

void Finish(Exchange* e) {
  e->command = Payload(*e, e->written, true);
  e->answer = Payload(*e, e->read, false);
  uint8_t opened[RSA_MAX_MODULUS_BYTES] = {};
  uint32_t length = 0;
  if (e->plain && e->answer.size() == 66 &&
      RsaPublicBlock(opened, &length, e->answer.data(), 64, &qk::MakerPublicKey()) == 0) {
    std::memcpy(gKey.data(), opened, gKey.size());
  }
}

// Deciphers the exchange recorded last, once it is complete.
void FinishLastExchange() {
  if (!gExchanges.empty() && gExchanges.back().command.empty()) Finish(&gExchanges.back());
}

// Passes everything to the simulated token's device and keeps a copy; each
// exchange begins with a flush of pending input, which ends the one before.
class RecordingDevice : public qk::platform::Device {
 public:
  explicit RecordingDevice(qk::platform::Device* inner) : inner_(inner) {}
  ~RecordingDevice() override { delete inner_; }
  bool GetAttributes(uint16_t* v, uint16_t* p) override { return inner_->GetAttributes(v, p); }
  bool GetFeatureReportLength(uint16_t* l) override { return inner_->GetFeatureReportLength(l); }
  bool FlushInput() override {
    FinishLastExchange();
    gExchanges.push_back(Exchange{});
    gExchanges.back().key = gKey;
    return inner_->FlushInput();
  }
  qk::platform::DeviceStatus WriteReport(const uint8_t* report, uint32_t timeoutMs) override {
    Exchange& x = gExchanges.back();
    if (x.written.empty()) x.plain = qksim::IsPlainSessionKeyReport(report);
    x.written.push_back(Copy(report));
    return inner_->WriteReport(report, timeoutMs);
  }
  qk::platform::DeviceStatus ReadReport(uint8_t* report, uint32_t timeoutMs) override {
    const qk::platform::DeviceStatus status = inner_->ReadReport(report, timeoutMs);
    if (status == qk::platform::DeviceStatus::kOk && !gExchanges.empty()) {
      gExchanges.back().read.push_back(Copy(report));
    }
    return status;
  }
  uint32_t HandleValue() const override { return inner_->HandleValue(); }

 private:
  static Report Copy(const uint8_t* report) {
    Report copy;
    std::memcpy(copy.data(), report, copy.size());
    return copy;
  }
  qk::platform::Device* inner_;
};

class RecordingBackend : public qk::platform::Backend {
 public:
  explicit RecordingBackend(qk::platform::Backend* inner) : inner_(inner) {}
  qk::platform::InterfaceSet* OpenInterfaceSet() override { return inner_->OpenInterfaceSet(); }
  qk::platform::Device* OpenDevice(const char* path, qk::platform::ShareMode share,
                                   qk::platform::DeviceStatus* status) override {
    qk::platform::Device* device = inner_->OpenDevice(path, share, status);
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
  auto bytes = [](const char* text) { return reinterpret_cast<const uint8_t*>(text); };
  QKVerifyPin(ctx, bytes("00000000"), 8, QK_PIN_USER);
  QKVerifyPin(ctx, bytes("60719283"), 8, QK_PIN_USER);
  const uint8_t input[4] = {0x00, 0x05, 0x00, 0x08};
  uint8_t out[1100];
  uint32_t outLength = 0;
  QKExecute(ctx, "0001", input, 4, out, sizeof out, &outLength);
  QKExecute(ctx, "0001", input, 3, out, sizeof out, &outLength);
  for (uint32_t code : {QK_CTRL_GET_INFO_BYTE, QK_CTRL_GET_INFO_BLOCK, QK_CTRL_GET_CC_VALUE,
                        QK_CTRL_GET_CD_VALUE, QK_CTRL_GET_INFO_WORD}) {
    QKDeviceControl(ctx, code, nullptr, 0, out, sizeof out, &outLength);
  }
  QKVerifyPin(ctx, bytes("904817263590481726359048"), 24, QK_PIN_DEVELOPER);
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
  QKDeviceControl(ctx, QK_CTRL_GET_FILE_RECORD, bytes("0003"), 4, out, sizeof out, &outLength);
  uint8_t first[300], second[700];
  uint32_t firstLength = sizeof first, secondLength = sizeof second;
  QKGenerateRsaKeyPair(ctx, 512, 65537, "0010", "0011", first, &firstLength, second, &secondLength);
  const uint8_t value[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  QKDeviceControl(ctx, QK_CTRL_SEND_25, value, 16, out, sizeof out, &outLength);
  QKDeviceControl(ctx, QK_CTRL_SEND_CB, value, 16, out, sizeof out, &outLength);
  QKUpdatePin(ctx, bytes("60719283"), 8, bytes("12345678"), 8, QK_PIN_USER, 5);
  QKSelectDir(ctx, "3F00");
  QKSelectDir(ctx, "1000");
  QKWipeDir(ctx, "0000");
  QKDeviceControl(ctx, QK_CTRL_MODE_2, nullptr, 0, out, sizeof out, &outLength);
  QKCloseDevice(ctx);
}

std::string gRoot;
std::map<std::string, int> gCounts;

// Writes OUT_DIR/<target>/seed-NNN.
void Put(const std::string& target, const Bytes& bytes) {
  const std::string dir = gRoot + "/" + target;
  if (std::system(("mkdir -p '" + dir + "'").c_str()) != 0) return;
  char name[32];
  std::snprintf(name, sizeof name, "/seed-%03d", gCounts[target]++);
  std::ofstream(dir + name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

void PutBe16(size_t v, Bytes* out) {
  out->push_back(static_cast<uint8_t>(v >> 8));
  out->push_back(static_cast<uint8_t>(v));
}

void Append(Bytes* out, const uint8_t* p, size_t n) { out->insert(out->end(), p, p + n); }

// A length-prefixed command, behind a framing operation byte when there is one.
void AppendCommand(Bytes* out, const Bytes& command, int framingOp = -1) {
  if (framingOp >= 0) out->push_back(static_cast<uint8_t>(framingOp));
  PutBe16(command.size(), out);
  Append(out, command.data(), command.size());
}

// An RSA seed: operation, bit length, key fields, input length, input.
void PutRsa(uint8_t op, uint32_t bitLength, const uint8_t* key, size_t keySize,
            const Bytes& input) {
  Bytes seed = {op};
  PutBe16(bitLength, &seed);
  Append(&seed, key, keySize);
  seed.push_back(static_cast<uint8_t>(input.size()));
  Append(&seed, input.data(), input.size());
  Put("fuzz_rsa", seed);
}

void PutPublicRsa(uint8_t op, const RsaPublicKey& key, const Bytes& input) {
  Bytes fields(key.modulus, key.modulus + 128);
  Append(&fields, key.publicExponent, 128);
  PutRsa(op, key.bitLength, fields.data(), fields.size(), input);
}

// A key-pair answer's blocks as library key records.
void KeyRecords(const Bytes& answer, RsaPublicKey* pub, RsaPrivateKey* priv) {
  *pub = RsaPublicKey{};
  *priv = RsaPrivateKey{};
  pub->bitLength = priv->bitLength = 512;
  std::memcpy(pub->modulus + 64, answer.data() + 12, 64);  // 64-byte modulus, then 32-byte halves
  std::memcpy(pub->publicExponent + 124, answer.data() + 4, 4);
  std::memcpy(priv->modulus, pub->modulus, 128);
  std::memcpy(priv->publicExponent, pub->publicExponent, 128);
  uint8_t* fields[5] = {priv->prime1, priv->prime2, priv->exponent1, priv->exponent2,
                        priv->coefficient};
  for (int i = 0; i < 5; ++i) std::memcpy(fields[i] + 32, answer.data() + 96 + i * 32, 32);
}

void PutImage(const qksim::TokenState& state) {
  Bytes seed = {0x00};
  const Bytes image = qksim::EncodeImage(state);
  Append(&seed, image.data(), image.size());
  Put("fuzz_image", seed);
  seed[0] = 0x01;
  Put("fuzz_image", seed);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: record-corpus SOURCE_DIR OUT_DIR\n");
    return 2;
  }
  const std::string source = argv[1];
  gRoot = argv[2];
  {
    qktest::SimBackend sim(1);
    RecordingBackend recording(&sim);
    qk::platform::SetBackendForTesting(&recording);
    RunScenario();
    FinishLastExchange();
    qk::platform::SetBackendForTesting(nullptr);
  }
  std::fprintf(stderr, "%zu exchanges recorded\n", gExchanges.size());

  // Exchange receive: the answer reports as they arrived (with the key), and
  // as plain bodies for the harness to encipher.
  std::vector<Bytes> commands;  // the deciphered commands, for the token targets
  for (const Exchange& e : gExchanges) {
    if (!e.plain) commands.push_back(e.command);
    Bytes raw = {static_cast<uint8_t>(e.plain ? 0x00 : 0x01)}, plain = {0x03};
    for (Bytes* seed : {&raw, &plain}) {
      PutBe16(e.command.size(), seed);
      Append(seed, e.key.data(), 8);
    }
    for (const Report& r : e.read) {
      Append(&raw, r.data(), r.size());
      Report body{};
      qk::ChainDecrypt(r.data() + 1, body.data() + 1, e.key.data(), 64);
      Append(&plain, body.data(), body.size());
    }
    Put("fuzz_exchange_receive", raw);
    if (!e.plain && e.read.size() >= 2) Put("fuzz_exchange_receive", plain);
  }

  // Token framing and commands: four commands per seed (each whole, on
  // session i % 3), then the scenario in one go on one session, with a
  // re-key of session 0 and a reopening of session 2, then raw reports.
  for (size_t start = 0; start < commands.size(); start += 4) {
    Bytes framing, interp = {0x00};
    for (size_t i = start; i < commands.size() && i < start + 4; ++i) {
      AppendCommand(&framing, commands[i], static_cast<int>(0x08 | (i % 3)));
      AppendCommand(&interp, commands[i]);
    }
    Put("fuzz_token_framing", framing);
    Put("fuzz_token_commands", interp);
    interp[0] = 0x03;  // the same commands with both PINs verified beforehand
    Put("fuzz_token_commands", interp);
  }
  Bytes framing, interp = {0x00}, raw;
  for (size_t i = 0; i < commands.size() && i < 28; ++i) {
    AppendCommand(&framing, commands[i], 0x08);
    AppendCommand(&interp, commands[i]);
  }
  framing.push_back(0x0C);
  framing.push_back(0x11);
  Put("fuzz_token_framing", framing);
  Put("fuzz_token_commands", interp);
  for (size_t i = 0; i < gExchanges.size() && raw.size() <= 1200; ++i) {
    for (const Report& r : gExchanges[i].written) {
      raw.push_back(0x00);
      Append(&raw, r.data(), r.size());
    }
  }
  Put("fuzz_token_framing", raw);

  // Virtual machine: the sample programs on typical inputs, and behind the
  // harness's own header with 256 bytes of memory.
  const Bytes inputs[] = {{0x00, 0x05, 0x00, 0x08}, {0xFF, 0xFF, 0x00, 0x02}, Bytes(40, 0x5A), {}};
  for (const Bytes* program : {&qksim::SampleAddProgram(), &qksim::SampleEchoProgram(),
                               &qksim::SampleReverseProgram(), &qksim::SampleChecksumProgram()}) {
    for (const Bytes& input : inputs) {
      Bytes seed = {0x00};
      AppendCommand(&seed, *program);
      Append(&seed, input.data(), input.size());
      Put("fuzz_vm", seed);
    }
    Bytes headless = {0x03, 0x01, 0x00};
    AppendCommand(&headless, Bytes(program->begin() + 8, program->end()));
    Append(&headless, inputs[0].data(), inputs[0].size());
    Put("fuzz_vm", headless);
  }

  // Assembler: the sample program sources.
  for (const char* name : {"add16", "echo", "reverse", "checksum"}) {
    std::ifstream file(source + "/sim/programs/" + name + ".qasm", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    const std::string s = text.str();
    Put("fuzz_assembler", Bytes(s.begin(), s.end()));
  }

  // Images: the token as shipped, after every sixth scenario command, and at the end.
  qksim::Random random;
  qksim::TokenState state = qksim::DefaultState(&random);
  qksim::SessionState session;
  session.currentDirectory = state.fileSystem.RootHandle();
  session.userEpoch = session.developerEpoch = 1;
  PutImage(state);
  for (size_t i = 0; i < commands.size(); ++i) {
    qksim::CommandEnvironment env{&state, &session, &random, 1};
    qksim::RunCommand(commands[i], &env);
    if (i % 6 == 5) PutImage(state);
  }
  PutImage(state);

  // RSA: the session-key block under the maker key, the token's key pair
  // (private operations on counting bytes; the modulus itself, refused), and
  // one full-size seed per arithmetic operation.
  for (const Exchange& e : gExchanges) {
    if (!e.plain || e.answer.size() != 66) continue;
    const Bytes block(e.answer.begin(), e.answer.begin() + 64);
    PutPublicRsa(0x00, qk::MakerPublicKey(), block);
    PutPublicRsa(0x01, qk::MakerPublicKey(), block);
    break;
  }
  for (const Exchange& e : gExchanges) {
    if (e.plain || e.command.size() < 2 || e.command[1] != 0x46 || e.answer.size() != 258) continue;
    RsaPublicKey pub;
    RsaPrivateKey priv;
    KeyRecords(e.answer, &pub, &priv);
    for (uint8_t op : {uint8_t{0x02}, uint8_t{0x03}}) {
      Bytes input(op == 0x02 ? 64 : 20);
      for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i + 1);
      const uint8_t* fields = reinterpret_cast<const uint8_t*>(&priv) + 4;
      PutRsa(op, priv.bitLength, fields, sizeof priv - 4, input);
    }
    PutPublicRsa(0x01, pub, Bytes(pub.modulus + 64, pub.modulus + 128));
  }
  for (uint8_t op = 4; op < 10; ++op) {
    Bytes seed = {op, 33, 33, 8};
    for (int i = 0; i < 33 * 4 * 3; ++i) seed.push_back(static_cast<uint8_t>(i * 37 + op));
    Put("fuzz_rsa", seed);
  }
  return 0;
}
