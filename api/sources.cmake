# Sources of the api layer, one per concept.
set(QK_API_SOURCES
  api/native_texts.cpp    # the native result-code texts, UTF-8 and GBK
  api/messages.cpp        # QKFormatErrorMessage
  api/device_table.cpp    # the process's device table and the context check
  api/listing.cpp         # QKListDevices and the token-interface test
  api/mutex_name.cpp      # per-path cross-process lock names
  api/open_close.cpp      # QKOpenDevice, QKOpenDeviceShared, QKCloseDevice
  api/session.cpp         # EstablishSessionKey, StoreHistoricalBytes
  api/transmit.cpp        # TransmitLocked: a slot's command to its channel
  api/token_info.cpp      # the information record and the free space
  api/pin.cpp             # PIN verification and change
  api/file_id.cpp         # file identifiers given as four hex digits
  api/files.cpp           # directories, files and execution
  api/keypair.cpp         # on-token RSA key-pair generation
  api/device_control.cpp  # the device-control dispatcher
  api/transaction.cpp     # QKBeginTransaction, QKEndTransaction
  api/time_limits.cpp     # QKSetTimeLimits, QKGetTimeLimits
  api/error_text.cpp      # QKGetErrorText: names, English and UTF-8 texts
  api/device_path.cpp     # QKGetDevicePath: the listed interface path
  api/device_watch.cpp    # QKWaitForDeviceChange, QKCancelDeviceWait
  api/log_callback.cpp    # QKSetLogCallback
)
