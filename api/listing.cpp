// Listing: walks the present HID interfaces, keeps the token's in the device
// table and hands the caller one context per token.
#include <cstring>
#include <memory>

#include "api/device_table.h"
#include "api/listing.h"
#include "platform/debug_log.h"

namespace qk {

namespace {

constexpr uint16_t kAcceptedFeatureLengths[] = {65, 73};

// What listing reports for a token interface that cannot be opened.
uint32_t ResultOfOpenFailure(platform::DeviceStatus status) {
  if (status == platform::DeviceStatus::kSharingViolation) return QK_E_SHARING_VIOLATION;
  if (status == platform::DeviceStatus::kAccessDenied) return QK_E_ACCESS_DENIED;
  return QK_E_NO_DEVICE_LIST;
}

bool HasTokenIdentity(uint16_t vendorId, uint16_t productId) {
  return vendorId == QK_VENDOR_ID && productId == QK_PRODUCT_ID;
}

// Whether the interface opened for use is the token's. Its identity is read
// from the device only when it was not read before opening.
bool IsToken(platform::Device* device, const char* path, bool identityKnown) {
  if (!identityKnown) {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    if (!device->GetAttributes(&vendorId, &productId)) {
      QK_DEBUG("list: %s skipped: its attributes cannot be read", path);
      return false;
    }
    if (!HasTokenIdentity(vendorId, productId)) {
      QK_DEBUG("list: %s skipped: device %04X:%04X is not a token", path, vendorId, productId);
      return false;
    }
  }
  if (IsTokenInterface(device) != 0) {
    QK_DEBUG("list: %s skipped: not the token's command interface (feature report length)", path);
    return false;
  }
  return true;
}

// Puts a found token's path into `slot`, forgetting what the slot held. A
// transaction on the same token is the exception: forgetting its channel
// would leave the token locked until the process ends, so the channel stays
// (closed: the next open opens the device anew inside the transaction).
void KeepInSlot(const char* path, size_t pathLength, DeviceSlot* slot) {
  const bool inTransaction = slot->channel != nullptr && slot->channel->InTransaction() &&
                             std::strcmp(slot->path, path) == 0;
  std::memcpy(slot->path, path, pathLength + 1);
  slot->opened = 0;
  if (inTransaction) {
    slot->channel->DetachDevice();
  } else {
    slot->channel = nullptr;
  }
}

// Walks the interfaces into the table; returns the number of tokens found and
// the last error met in *result.
uint32_t WalkInterfaces(DeviceTable* table, uint32_t* result) {
  std::unique_ptr<platform::InterfaceSet> set(platform::OpenInterfaceSet());
  if (!set) {
    QK_DEBUG("list: the system's set of HID interfaces cannot be had");
    *result = QK_E_NO_DEVICE_LIST;
    return 0;
  }
  uint32_t found = 0;
  *result = QK_E_SUCCESS;
  char path[platform::kDetailBufferSize];
  for (uint32_t index = 0; index < kMaxDevices; ++index) {
    std::memset(path, 0, sizeof(path));
    const platform::EnumStatus status = set->PathAt(index, path, sizeof(path));
    if (status == platform::EnumStatus::kNoMore) {
      if (table->count != 0) *result = QK_E_SUCCESS;
      break;
    }
    if (status == platform::EnumStatus::kDetailTooLarge) {
      QK_DEBUG("list: interface %u: path too long; listing stops", index);
      *result = QK_E_NO_DEVICE_LIST;
      break;
    }
    if (status == platform::EnumStatus::kDetailUnreadable) {
      QK_DEBUG("list: interface %u skipped: its path cannot be read", index);
      *result = QK_E_NO_DEVICE_LIST;
      continue;
    }
    path[sizeof(path) - 1] = '\0';  // whatever the backend wrote

    // Where the backend can read an interface's identity without opening it
    // for use, only the token's interfaces are opened: a keyboard or mouse
    // the user may not open is no error, but a token that cannot be opened is.
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    const platform::IdentityStatus identity = platform::ReadIdentity(path, &vendorId, &productId);
    if (identity == platform::IdentityStatus::kUnreadable) {
      QK_DEBUG("list: %s skipped: its identity cannot be read", path);
      continue;
    }
    const bool identityKnown = identity == platform::IdentityStatus::kRead;
    if (identityKnown && !HasTokenIdentity(vendorId, productId)) {
      QK_DEBUG("list: %s skipped: device %04X:%04X is not a token", path, vendorId, productId);
      continue;
    }

    platform::DeviceStatus opened = platform::DeviceStatus::kFailed;
    std::unique_ptr<platform::Device> device(
        platform::OpenDevice(path, platform::ShareMode::kShared, &opened));
    // A token another process holds for itself is still attached: it is
    // listed, and opening it tells the caller it is busy. Leaving it out
    // would say "no token" while one is there, and a second program started
    // beside the first would give up instead of waiting its turn.
    if (!device && identityKnown && opened == platform::DeviceStatus::kSharingViolation &&
        std::strlen(path) < kPathCapacity) {
      QK_DEBUG("list: %s taken as slot %u: held by another process for itself", path, found);
      KeepInSlot(path, std::strlen(path), &table->slots[found]);
      ++found;
      continue;
    }
    if (!device) {
      QK_DEBUG("list: %s skipped: cannot be opened (%s)", path, platform::DeviceStatusText(opened));
      *result = ResultOfOpenFailure(opened);
      continue;
    }
    // A path that does not fit the slot could only be kept cut, and a cut
    // path names no device: such a token is not listed.
    const size_t pathLength = std::strlen(path);
    if (IsToken(device.get(), path, identityKnown)) {
      if (pathLength < kPathCapacity) {
        QK_DEBUG("list: %s taken as slot %u", path, found);
        KeepInSlot(path, pathLength, &table->slots[found]);
        ++found;
      } else {
        QK_DEBUG("list: a token skipped: its path (%u bytes) does not fit a slot",
                 static_cast<unsigned>(pathLength));
      }
    }
  }
  return found;
}

}  // namespace

int32_t IsTokenInterface(platform::Device* device) {
  uint16_t length = 0;
  if (!device->GetFeatureReportLength(&length)) return -1;
  for (uint16_t accepted : kAcceptedFeatureLengths) {
    if (length == accepted) return 0;
  }
  return -1;
}

}  // namespace qk

extern "C" QK_API uint32_t QK_CALL QKListDevices(QKContext* contexts, uint32_t* count) {
  if (count == nullptr) return QK_E_PARAMETER;
  qk::DeviceTable& table = qk::GetDeviceTable();
  uint32_t result = QK_E_SUCCESS;
  const uint32_t found = qk::WalkInterfaces(&table, &result);
  table.count = found;
  if (found == 0) {
    *count = 0;
    return result;
  }
  if (*count >= found && contexts != nullptr) {
    std::memset(contexts, 0, sizeof(QKContext) * found);
    for (uint32_t i = 0; i < found; ++i) contexts[i].slotIndex = i;
    *count = found;
    return QK_E_SUCCESS;
  }
  *count = found;
  return QK_E_BUFFER_TOO_SMALL;
}
