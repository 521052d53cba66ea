// The report exchange: a command record cut into 65-byte reports, enciphered
// under the session key, and its answer reassembled from the reports the
// token sends back. Every byte of an answer report is treated as hostile.
#include "transport/exchange.h"

#include <atomic>
#include <bitset>
#include <cstring>

#include "include/qktoken.h"
#include "platform/debug_log.h"
#include "transport/des.h"
#include "transport/status_word.h"

namespace qk {

namespace {

constexpr size_t kReportSize = platform::kReportSize;  // identifier + 64
constexpr size_t kCipheredSize = 64;                   // report bytes 1..64
constexpr size_t kChunkSize = 58;
// Report byte positions.
constexpr size_t kTotalAt = 1, kOffsetAt = 3, kZeroAt = 5, kChunkLengthAt = 6, kPayloadAt = 7;
// A full-size answer takes ceil(1024 / 58) reports; a token that sends more
// is babbling, not answering.
constexpr uint32_t kMaxAnswerReports = (kRecordDataSize + kChunkSize - 1) / kChunkSize;
// The status word closes every answer.
constexpr size_t kStatusWordSize = 2;

// Defaults: a token may compute for tens of seconds before it answers
// (on-token key generation), so the first answer report and the lock wait
// (another process's exchange, possibly such a computation) get a minute;
// a single report on a USB full-speed interrupt pipe takes milliseconds,
// so five seconds for every other report means the device is gone.
constexpr TimeLimits kDefaultTimeLimits = {60000, 5000, 60000, 5000};

std::atomic<uint32_t> gLockMs{kDefaultTimeLimits.lockMs};
std::atomic<uint32_t> gWriteMs{kDefaultTimeLimits.writeMs};
std::atomic<uint32_t> gFirstReadMs{kDefaultTimeLimits.firstReadMs};
std::atomic<uint32_t> gReadMs{kDefaultTimeLimits.readMs};

uint16_t ReadBigEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void WriteBigEndian16(uint16_t value, uint8_t* p) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

// Writes the command in chunks of 58 bytes. `plain` keeps the total length in
// bytes 1-2 and, past each chunk, whatever the previous chunk left there.
bool SendCommand(platform::Device* device, const CommandRecord& record, bool encrypted,
                 const uint8_t* sessionKey, uint8_t* plain, uint8_t* cipher, uint32_t writeMs,
                 bool* wrote) {
  size_t remaining = record.bytesToSend;
  size_t offset = 0;
  while (remaining > 0) {
    const size_t chunk = remaining < kChunkSize ? remaining : kChunkSize;
    WriteBigEndian16(static_cast<uint16_t>(offset), plain + kOffsetAt);
    plain[kZeroAt] = 0;
    plain[kChunkLengthAt] = static_cast<uint8_t>(chunk);
    std::memcpy(plain + kPayloadAt, record.bytes + offset, chunk);
    const uint8_t* report = plain;
    if (encrypted) {
      ChainEncrypt(plain + 1, cipher + 1, sessionKey, kCipheredSize);
      report = cipher;
    }
    // A write that failed or ran out may still have reached the token.
    *wrote = true;
    const platform::DeviceStatus status = device->WriteReport(report, writeMs);
    if (status != platform::DeviceStatus::kOk) {
      QK_DEBUG("exchange: command report %u: %s", static_cast<unsigned>(offset / kChunkSize),
               status == platform::DeviceStatus::kTimedOut ? "write not done in time (time limit)"
               : status == platform::DeviceStatus::kGone   ? "write failed: the device is gone"
                                                           : "write failed");
      return false;
    }
    if (remaining <= kChunkSize) break;
    offset += kChunkSize;
    remaining -= kChunkSize;
  }
  return true;
}

// Reads answer reports into the record from byte 6 until the announced total
// has arrived; *received counts the chunk bytes taken. False on any failed or
// timed-out read and on any report that does not fit the record. Chunks may
// come in any order, but each must lie inside the announced total and cover
// bytes no earlier chunk covered: a repeated or overlapping report would
// otherwise complete the count early and leave the status word unwritten.
// Every report must announce the total the first one did: reports of two
// answers (or a forged one) cannot be stitched into one.
bool ReceiveAnswer(platform::Device* device, CommandRecord* record, bool encrypted,
                   const uint8_t* sessionKey, uint8_t* plain, uint8_t* cipher,
                   const TimeLimits& limits, size_t* received) {
  *received = 0;
  size_t firstTotal = 0;
  std::bitset<kRecordDataSize> covered;
  for (uint32_t reports = 0; reports < kMaxAnswerReports; ++reports) {
    const uint32_t waitMs = reports == 0 ? limits.firstReadMs : limits.readMs;
    uint8_t* target = encrypted ? cipher : plain;
    const platform::DeviceStatus status = device->ReadReport(target, waitMs);
    if (status != platform::DeviceStatus::kOk) {
      QK_DEBUG("exchange: answer report %u: %s %u ms", reports,
               status == platform::DeviceStatus::kTimedOut ? "none within the time limit of"
               : status == platform::DeviceStatus::kGone ? "read failed: the device is gone; limit"
                                                         : "read failed; limit",
               waitMs);
      return false;
    }
    if (encrypted) ChainDecrypt(cipher + 1, plain + 1, sessionKey, kCipheredSize);

    const size_t offset = ReadBigEndian16(plain + kOffsetAt);
    const size_t chunk = plain[kChunkLengthAt];
    const size_t total = ReadBigEndian16(plain + kTotalAt);
    const char* fault = nullptr;
    if (offset >= kRecordDataSize) {
      fault = "offset beyond the record";
    } else if (chunk > kChunkSize || offset + chunk > kRecordDataSize) {
      fault = "chunk length beyond the report or the record";
    } else if (total < kStatusWordSize || total > kRecordDataSize) {
      fault = "announced total out of range";
    } else if (offset + chunk > total) {
      fault = "chunk beyond the announced total";
    } else if (reports != 0 && total != firstTotal) {
      fault = "announced total differs from the first report's";
    }
    if (fault == nullptr) {
      for (size_t i = offset; i < offset + chunk; ++i) {
        if (covered[i]) {
          fault = "chunk overlaps bytes already received";
          break;
        }
      }
    }
    if (fault != nullptr) {
      QK_DEBUG("exchange: answer report %u rejected: %s (offset %u, length %u, total %u)", reports,
               fault, static_cast<unsigned>(offset), static_cast<unsigned>(chunk),
               static_cast<unsigned>(total));
      return false;
    }
    if (reports == 0) firstTotal = total;
    for (size_t i = offset; i < offset + chunk; ++i) covered[i] = true;

    std::memcpy(record->bytes + kData + offset, plain + kPayloadAt, chunk);
    *received += chunk;
    if (*received >= total) return true;
  }
  QK_DEBUG("exchange: answer rejected: more than %u reports", kMaxAnswerReports);
  return false;
}

}  // namespace

TimeLimits GetTimeLimits() {
  return TimeLimits{gLockMs.load(), gWriteMs.load(), gFirstReadMs.load(), gReadMs.load()};
}

void SetTimeLimitsForTesting(const TimeLimits& limits) {
  gLockMs = limits.lockMs;
  gWriteMs = limits.writeMs;
  gFirstReadMs = limits.firstReadMs;
  gReadMs = limits.readMs;
}

void ResetTimeLimitsForTesting() { SetTimeLimitsForTesting(kDefaultTimeLimits); }

uint32_t ExchangeCommand(platform::Device* device, CommandRecord* record, const uint8_t* sessionKey,
                         bool* wrote) {
  bool wroteHere = false;
  if (wrote == nullptr) wrote = &wroteHere;
  *wrote = false;
  // A slot without a device (a forgotten or never opened one) cannot talk.
  if (device == nullptr || record == nullptr || sessionKey == nullptr) return QK_E_COMMUNICATION;
  // A command is its header at least and never more than the record holds.
  if (record->bytesToSend < kRecordHeaderSize || record->bytesToSend > kRecordImageSize) {
    return QK_E_PARAMETER;
  }
  const TimeLimits limits = GetTimeLimits();

  uint8_t plain[kReportSize] = {};
  uint8_t cipher[kReportSize] = {};
  WriteBigEndian16(record->bytesToSend, plain + kTotalAt);

  if (!device->FlushInput()) {
    QK_DEBUG("exchange: pending input reports cannot be discarded");
    return QK_E_FAILURE;
  }
  const bool encrypted = record->bytes[kIns] != kInsSessionKey;
  if (!SendCommand(device, *record, encrypted, sessionKey, plain, cipher, limits.writeMs, wrote)) {
    return QK_E_COMMUNICATION;
  }
  size_t received = 0;
  if (!ReceiveAnswer(device, record, encrypted, sessionKey, plain, cipher, limits, &received)) {
    return QK_E_COMMUNICATION;
  }
  record->responseLength = static_cast<uint16_t>(received - kStatusWordSize);
  const uint8_t* statusWord = record->bytes + kData + received - kStatusWordSize;
  const uint32_t result = MapStatusWord(statusWord[0], statusWord[1]);
  // The instruction and the sizes only: never the bytes themselves.
  QK_DEBUG("exchange: instruction %02X, %u bytes sent, %u answered, result 0x%08X",
           record->bytes[kIns], static_cast<unsigned>(record->bytesToSend),
           static_cast<unsigned>(received - kStatusWordSize), static_cast<unsigned>(result));
  return result;
}

}  // namespace qk
