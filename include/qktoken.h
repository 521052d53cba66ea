/*
 * qktoken.h - client API of the QK USB HID token.
 *
 * Every call returns a 32-bit result code (0 on success, see the QK_E_
 * constants) and reports results only through caller-supplied buffers.
 * Nothing throws, nothing is allocated for the caller; nothing is logged
 * unless the debug log is switched on (see QKSetLogCallback).
 *
 * Order of use: QKListDevices twice (count, then contexts) -> QKOpenDevice
 * -> command calls -> QKCloseDevice. A new listing rewrites the library's
 * device table and forgets the devices open in it: close every context
 * before listing again.
 *
 * Ownership: the caller owns its QKContext array and every buffer; the
 * library keeps nothing of them after a call returns. Lengths are in bytes,
 * times in milliseconds.
 *
 * Failures: a call that fails writes nothing to its outputs unless its
 * comment says otherwise (the size queries write the size needed). A call
 * that sends several commands stops at the first failing one; what the
 * earlier commands did on the token stays done.
 *
 * Threads: each command exchange holds the token's lock (shared by every
 * process that uses the token), so calls on open contexts may come from any
 * thread. QKListDevices, QKOpenDevice, QKOpenDeviceShared and QKCloseDevice
 * change the process's device table, which has no lock of its own: do not run
 * them while another thread uses a context. The message, time-limit and RSA
 * calls keep no state and may run at any time; so may the device-change wait
 * and its cancel, and the log callback.
 *
 * Calling convention: cdecl on every target (QK_CALL). Structures use the
 * natural alignment of their 32-bit fields; QKContext is 56 bytes (fourteen
 * 32-bit words) and QKOpenOptions 8 bytes on every target, 32 or 64 bits.
 */
#ifndef QKTOKEN_H
#define QKTOKEN_H

#include <stdint.h>

#if defined(_WIN32)
#  define QK_CALL __cdecl
#  if defined(QKTOKEN_BUILDING_DLL)
#    define QK_API __declspec(dllexport)
#  elif defined(QKTOKEN_DLL)
#    define QK_API __declspec(dllimport)
#  else
#    define QK_API
#  endif
#else
#  define QK_CALL
#  if defined(QKTOKEN_BUILDING_DLL)
#    define QK_API __attribute__((visibility("default")))
#  else
#    define QK_API
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes -------------------------------------------------------- */

#define QK_E_SUCCESS                 0x00000000u
#define QK_E_DEVICE_NOT_CONNECTED    0xF0000001u
#define QK_E_PARAMETER               0xF0000002u
#define QK_E_COMMUNICATION           0xF0000003u
#define QK_E_BUFFER_TOO_SMALL        0xF0000004u
#define QK_E_NO_DEVICE_LIST          0xF0000005u
#define QK_E_DEV_PIN_NOT_VERIFIED    0xF0000006u
#define QK_E_USER_PIN_NOT_VERIFIED   0xF0000007u
#define QK_E_RSA_FILE_FORMAT         0xF0000008u
#define QK_E_DIR_NOT_FOUND           0xF0000009u
#define QK_E_ACCESS_DENIED           0xF000000Au
#define QK_E_ALREADY_INITIALIZED     0xF000000Bu
#define QK_E_INCORRECT_PIN           0xF000000Cu
#define QK_E_DIR_SPACE               0xF000000Du
#define QK_E_FILE_EXISTS             0xF000000Eu
#define QK_E_UNSUPPORTED             0xF000000Fu
#define QK_E_FILE_NOT_FOUND          0xF0000010u
#define QK_E_ALREADY_OPENED          0xF0000011u
#define QK_E_DIR_EXISTS              0xF0000012u
#define QK_E_VM_ADDRESS_OVERFLOW     0xF0000013u
#define QK_E_VM_BAD_POINTER          0xF0000014u
#define QK_E_FILE_SYSTEM             0xF0000015u
#define QK_E_OFFSET_BEYOND_FILE      0xF0000016u
#define QK_E_FILE_TYPE_MISMATCH      0xF0000017u
#define QK_E_PIN_BLOCKED             0xF0000018u
#define QK_E_CONTEXT                 0xF0000019u
#define QK_E_SHARING_VIOLATION       0xF000001Au
#define QK_E_UNKNOWN                 0xF000001Bu
/* This handle's session key is void: another handle to the same token agreed
 * a new one, or an exchange of this handle failed (its answer may still come
 * late and must not be taken for a later command's). Nothing was sent. Close
 * and open the context again. */
#define QK_E_SESSION_REPLACED        0xF000001Cu
/* The token's exchange lock could not be made (at open: the slot stays
 * closed) or had within the time limit; nothing was sent (the library never
 * exchanges without it). */
#define QK_E_LOCK_UNAVAILABLE        0xF000001Du
/* The token's lock cannot be made where it could be trusted: the lock
 * directory (or a virtual token's directory) or the lock file in it is
 * another user's, open to others, a link, or planted; or no such directory
 * exists for this user. Not a busy lock: waiting does not help. Nothing was
 * sent; QKTOKEN_DEBUG=1 logs the path and what is wrong with it. */
#define QK_E_LOCK_UNSAFE             0xF000001Eu
/* QKWaitForDeviceChange: QKCancelDeviceWait ended the wait. */
#define QK_E_WAIT_CANCELLED          0xF000001Fu
/* QKWaitForDeviceChange: no change within the time limit. */
#define QK_E_WAIT_TIMEOUT            0xF0000020u
/* QKWaitForDeviceChange: the system gives no way to watch the attached
 * tokens (notifications, or the resources they need, are not available). */
#define QK_E_WATCH_UNAVAILABLE       0xF0000021u
/* A rejected PIN: QK_E_WRONG_PIN + n, n = tries left as the token reports it. */
#define QK_E_WRONG_PIN               0xF0000C00u
/* Unclassified transport failure (the input queue could not be flushed). */
#define QK_E_FAILURE                 0xFFFFFFFFu

/* ---- Argument constants -------------------------------------------------- */

/* PIN kinds. The user PIN has 8 bytes, the developer PIN 24. A new token's
 * user PIN is "60719283", its developer PIN "904817263590481726359048". */
#define QK_PIN_USER       0u
#define QK_PIN_DEVELOPER  1u
#define QK_PIN_USER_LENGTH       8u
#define QK_PIN_DEVELOPER_LENGTH  24u

/* Directory kinds of QKMakeDir: the root (0x3F00, size 0) or a subdirectory. */
#define QK_DIR_ROOT       0u
#define QK_DIR_SUB        1u

/* File types of QKMakeFile and QKMakeAndStoreFile (passed to the token as
 * they stand; these are the token's). QKExecute runs only executable files;
 * QKGenerateRsaKeyPair makes the two key types. */
#define QK_FILE_DATA         0x01u
#define QK_FILE_EXECUTABLE   0x02u
#define QK_FILE_PUBLIC_KEY   0x03u
#define QK_FILE_PRIVATE_KEY  0x04u

/* QKMakeAndStoreFile modes. */
#define QK_STORE_CREATE      0u  /* make the file, then write into it */
#define QK_STORE_EXISTING    1u  /* write into a file that exists */

/* Bounds of the command set: a file's size, the input QKExecute sends and the
 * output a token answers at most, in bytes; the longest QKSelectDir path in
 * characters; the root directory's identifier. */
#define QK_MAX_FILE_SIZE     65535u
#define QK_MAX_EXEC_INPUT    1024u
#define QK_MAX_EXEC_OUTPUT   1024u
#define QK_MAX_PATH_CHARS    127u
#define QK_ROOT_ID_TEXT      "3F00"

/* Control codes of QKDeviceControl: input needed / output written.
 * Modes (INS 0x50, no output): 1 logs the user PIN out, 2 both PINs, 3 (input
 * at least 4 bytes, the first is sent) sets the token's indicator byte.
 * Information (output at least the size given, written with its length):
 * info byte (1), serial number (8), capacity (4, host order), 16-byte value
 * (16), free bytes (0xCC value, 4), model text (6), 0xCD value (4), file
 * record (input: four hex digits; output 5: identifier in host order, type,
 * size low and high byte), version word (2, host order). Sends (no output):
 * value 1..16 bytes, info byte 1, serial 8, random seed 1..256 bytes.
 * QK_CTRL_RUN_E3 resets the token to its shipped state (serial kept). */
#define QK_CTRL_MODE_1           0x01u
#define QK_CTRL_MODE_2           0x02u
#define QK_CTRL_MODE_3           0x03u
#define QK_CTRL_GET_INFO_BYTE    0x11u
#define QK_CTRL_GET_INFO_EIGHT   0x12u
#define QK_CTRL_GET_INFO_NUMBER  0x13u
#define QK_CTRL_GET_INFO_BLOCK   0x14u
#define QK_CTRL_GET_CC_VALUE     0x15u
#define QK_CTRL_GET_INFO_SIX     0x16u
#define QK_CTRL_GET_CD_VALUE     0x17u
#define QK_CTRL_GET_FILE_RECORD  0x18u
#define QK_CTRL_GET_INFO_WORD    0x19u
#define QK_CTRL_SEND_25          0x21u
#define QK_CTRL_SEND_E7          0x22u
#define QK_CTRL_SEND_30          0x23u
#define QK_CTRL_SEND_CB          0x24u
#define QK_CTRL_RUN_E3           0x31u

/* The token's USB identity and the most devices one listing keeps. */
#define QK_VENDOR_ID   0x7A5Cu
#define QK_PRODUCT_ID  0x0B21u
#define QK_MAX_DEVICES 128u

/* Forms of QKGetErrorText. */
#define QK_TEXT_NAME         0u  /* symbolic name, e.g. "QK_E_COMMUNICATION" (ASCII) */
#define QK_TEXT_ENGLISH      1u  /* English text, UTF-8 */
#define QK_TEXT_NATIVE_UTF8  2u  /* the library's own (Chinese) text, UTF-8 */
#define QK_TEXT_NATIVE_GBK   3u  /* the same text in GBK, as QKFormatErrorMessage writes it */

/* QKBeginTransaction: wait as long as the process's lock limit allows. */
#define QK_WAIT_DEFAULT      0u
/* The longest time limit any call accepts, in milliseconds (one hour). */
#define QK_MAX_WAIT_MS       3600000u

/* ---- Records ------------------------------------------------------------- */

/* The caller's handle to one listed token: fourteen 32-bit words. */
typedef struct QKContext {
  uint32_t slotIndex;     /* slot number, written by QKListDevices */
  uint32_t infoWord;      /* token information bytes 2..3, big-endian on the token */
  uint32_t device;        /* non-zero while the slot's device is open */
  uint32_t reserved[3];   /* set to 0 at open */
  uint32_t queryValue;    /* the token's 0xCC value, 0 if it refused */
  uint8_t infoBlock[16];  /* token information bytes 4..19 */
  uint8_t infoEight[8];   /* token information bytes 26..33 */
  uint32_t markWord;      /* 16 after a successful open */
} QKContext;

typedef struct QKOpenOptions {
  uint32_t reserved;      /* not read */
  uint32_t shared;        /* non-zero: share the device with other openers */
} QKOpenOptions;

/* Process-wide time limits of every exchange, in milliseconds, each 1 to
 * QK_MAX_WAIT_MS. Defaults: lockMs 60000, writeMs 5000, firstReadMs 60000,
 * readMs 5000. */
typedef struct QKTimeLimits {
  uint32_t lockMs;       /* waiting for the token's exchange lock */
  uint32_t writeMs;      /* writing one report */
  uint32_t firstReadMs;  /* the first answer report (the token may be computing) */
  uint32_t readMs;       /* each later answer report */
} QKTimeLimits;

#ifdef __cplusplus
#  define QK_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#  define QK_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
QK_STATIC_ASSERT(sizeof(QKContext) == 56, "QKContext must be 56 bytes");
QK_STATIC_ASSERT(sizeof(QKOpenOptions) == 8, "QKOpenOptions must be 8 bytes");
QK_STATIC_ASSERT(sizeof(QKTimeLimits) == 16, "QKTimeLimits must be 16 bytes");

/* ---- Calls --------------------------------------------------------------- */

/* QKFormatErrorMessage: the library's own (Chinese, GBK) text of `code`.
 * WARNING: maxLength counts text bytes WITHOUT the terminating zero, so the
 * buffer must hold maxLength + 1 bytes: pass sizeof buf - 1, never sizeof buf.
 * A text longer than maxLength gives QK_E_BUFFER_TOO_SMALL and writes
 * nothing; text NULL gives QK_E_PARAMETER. Codes added after its table
 * (QK_E_SESSION_REPLACED and every code after it) get its unknown-error
 * text. Sends nothing; any thread. New code should prefer QKGetErrorText. */
QK_API uint32_t QK_CALL QKFormatErrorMessage(uint32_t code, char* text, uint32_t maxLength);

/* QKGetErrorText: text of any result code in one of the QK_TEXT_ forms.
 * `size` counts the buffer's bytes including the terminating zero; nothing is
 * written past it. Too small a buffer (or text NULL) gives
 * QK_E_BUFFER_TOO_SMALL and writes nothing but *needed (when given): the
 * size, zero included, that the text needs. On success *needed (when given)
 * is that size too. An unknown form gives QK_E_PARAMETER and writes nothing.
 * No text needs more than 256 bytes. Sends nothing; any thread.
 * Names: "QK_E_..." for the named codes, "QK_E_WRONG_PIN+n" (n = tries left),
 * "QK_E_FAILURE", "SW_XXXX" for a status word no table maps (below 0x10000),
 * "0xXXXXXXXX" for any other value. The native forms give QKFormatErrorMessage's
 * text, and own texts for the codes added after its table (QK_E_SESSION_REPLACED
 * and later). */
QK_API uint32_t QK_CALL QKGetErrorText(uint32_t code, uint32_t form, char* text, uint32_t size,
                                       uint32_t* needed);

/* QKSetTimeLimits: the process-wide limits of every exchange (see
 * QKTimeLimits; each 1 to QK_MAX_WAIT_MS). NULL restores the defaults. A field
 * of 0 or above QK_MAX_WAIT_MS gives QK_E_PARAMETER and changes nothing.
 * Takes effect from the next exchange; any thread.
 * QKGetTimeLimits: the limits in force; NULL gives QK_E_PARAMETER. */
QK_API uint32_t QK_CALL QKSetTimeLimits(const QKTimeLimits* limits);
QK_API uint32_t QK_CALL QKGetTimeLimits(QKTimeLimits* limits);

/* QKListDevices: finds the attached tokens (at most QK_MAX_DEVICES) and
 * rewrites the device table, forgetting every device open in it (close
 * first). With contexts NULL, or *count below the number found, it writes the
 * number found to *count and returns QK_E_BUFFER_TOO_SMALL; with no token it
 * writes 0 and returns 0 or the last error met while looking (so test *count,
 * not only the code). With room, it fills contexts[0 .. found-1] (slotIndex
 * set, the rest zero), writes the number and returns 0. count NULL gives
 * QK_E_PARAMETER. Sends nothing to the tokens. */
QK_API uint32_t QK_CALL QKListDevices(QKContext* contexts, uint32_t* count);

/* QKOpenDevice: opens a listed context's token for this process alone, has it
 * hand over a session key and reads its information record into the context
 * (infoWord, infoBlock, infoEight, queryValue, markWord 16). Opening an open
 * context again reuses its device. Fails with QK_E_CONTEXT (not listed),
 * QK_E_DEVICE_NOT_CONNECTED, QK_E_SHARING_VIOLATION, QK_E_ACCESS_DENIED,
 * QK_E_LOCK_UNSAFE (the token's lock directory cannot be trusted),
 * QK_E_LOCK_UNAVAILABLE, a transport code; the context is then not open.
 * QKOpenDeviceShared: the same; options->shared non-zero lets other openers
 * share the device. options NULL gives QK_E_PARAMETER.
 * QKCloseDevice: closes the device (the token forgets this session's PINs);
 * QK_E_CONTEXT if the context is not open. Sends nothing. Inside a
 * transaction of the calling thread the lock stays held until its
 * QKEndTransaction; a transaction another thread began ends here. Once the
 * call returns, the process holds no lock of the context but the calling
 * thread's own transaction. */
QK_API uint32_t QK_CALL QKOpenDevice(QKContext* context);
QK_API uint32_t QK_CALL QKOpenDeviceShared(QKContext* context, const QKOpenOptions* options);
QK_API uint32_t QK_CALL QKCloseDevice(QKContext* context);

/* Transactions: hold the token's exchange lock across calls, so that no other
 * handle's command (in this process or another) falls between them. The wait
 * is bounded by timeoutMs (QK_WAIT_DEFAULT: the process's lock limit). Nests on
 * one thread; each Begin needs its End. A listed context that is not open yet
 * may begin one, so that open, PIN and work form one step. */
QK_API uint32_t QK_CALL QKBeginTransaction(QKContext* context, uint32_t timeoutMs);
QK_API uint32_t QK_CALL QKEndTransaction(QKContext* context);

/* QKVerifyPin: presents a PIN of kind QK_PIN_USER or QK_PIN_DEVELOPER
 * (pinLength 8 or 24, sent as given). The verified state belongs to this
 * open session on the token. A wrong PIN gives QK_E_WRONG_PIN + n, n = tries
 * left; a blocked PIN QK_E_PIN_BLOCKED. Bad length, kind or NULL pin:
 * QK_E_PARAMETER, nothing sent.
 * QKUpdatePin: changes a PIN: the current PIN, the new one (both 8 bytes for
 * the user PIN, 24 for the developer PIN, else QK_E_PARAMETER) and a retry
 * limit (low byte; 0 keeps the token's limit). Success also verifies the PIN. */
QK_API uint32_t QK_CALL QKVerifyPin(QKContext* context, const uint8_t* pin, uint32_t pinLength,
                                    uint32_t kind);
QK_API uint32_t QK_CALL QKUpdatePin(QKContext* context, const uint8_t* oldPin,
                                    uint32_t oldPinLength, const uint8_t* newPin,
                                    uint32_t newPinLength, uint32_t kind, uint32_t retryLimit);

/* Identifiers are given as text: four hexadecimal digits ("0001"); the root
 * is "3F00". The token keeps one current directory per open session; the
 * calls below act on it.
 *
 * QKMakeDir: kind QK_DIR_SUB makes directory dirIdText with a capacity of
 * `size` bytes (low 24 bits) in the current directory (developer PIN);
 * QK_DIR_ROOT makes the root of a token without file system (size must be 0,
 * dirIdText not read). Other kinds: QK_E_PARAMETER.
 * QKMakeDirEx: QKMakeDir, then for the root also presents the default
 * developer PIN and writes valueRecord bytes 4..19 as the token's 16-byte
 * value (valueRecord is read only for the root).
 * QKSelectDir: walks `path` (shorter than 128 characters): "\" root, ".."
 * parent, "0010", "0010\0020", "\0010\0020" (from the root), one command
 * per step. A failing step leaves the steps before it selected.
 * QKWipeDir: erases the current directory with everything in it (developer
 * PIN); erasing the root removes the file system. reservedText must be NULL
 * or "" (else QK_E_PARAMETER). */
QK_API uint32_t QK_CALL QKMakeDir(QKContext* context, const char* dirIdText, uint32_t size,
                                  uint32_t kind);
QK_API uint32_t QK_CALL QKMakeDirEx(QKContext* context, const char* dirIdText, uint32_t size,
                                    uint32_t kind, const uint8_t* valueRecord);
QK_API uint32_t QK_CALL QKSelectDir(QKContext* context, const char* path);
QK_API uint32_t QK_CALL QKWipeDir(QKContext* context, const char* reservedText);

/* QKMakeFile: makes file fileIdText of `size` bytes (1..QK_MAX_FILE_SIZE;
 * above 65536 gives QK_E_DIR_SPACE without sending) and type fileType (a
 * QK_FILE_ value) in the current directory; its bytes start zero. Developer
 * PIN.
 * QKStoreFile: writes `length` bytes at `offset` into an existing file, in
 * commands of up to 1020 bytes; length 0 sends nothing. On a failure the
 * chunks before the failing one stay written.
 * QKMakeAndStoreFile: mode QK_STORE_CREATE makes the file (fileSize,
 * fileType) and then stores the data; QK_STORE_EXISTING only stores. Another
 * mode gives QK_E_PARAMETER. reservedValue is not read. The steps are
 * separate commands: use a transaction to keep other handles out. */
QK_API uint32_t QK_CALL QKMakeFile(QKContext* context, const char* fileIdText, uint32_t size,
                                   uint32_t fileType);
QK_API uint32_t QK_CALL QKStoreFile(QKContext* context, const char* fileIdText, uint32_t offset,
                                    const uint8_t* data, uint32_t length);
QK_API uint32_t QK_CALL QKMakeAndStoreFile(QKContext* context, const char* fileIdText,
                                           uint32_t offset, const uint8_t* data, uint32_t length,
                                           uint32_t fileSize, uint32_t reservedValue,
                                           uint32_t mode, uint32_t fileType);

/* QKExecute: runs executable file fileIdText of the current directory with
 * `input` (at most QK_MAX_EXEC_INPUT bytes, else QK_E_PARAMETER) and copies
 * its output (at most QK_MAX_EXEC_OUTPUT bytes) to `output`, storing its
 * length in *outputLength (when not NULL). User PIN. An output larger than
 * outputCapacity gives QK_E_BUFFER_TOO_SMALL after the program has run;
 * nothing is written then, *outputLength neither. */
QK_API uint32_t QK_CALL QKExecute(QKContext* context, const char* fileIdText, const uint8_t* input,
                                  uint32_t inputLength, uint8_t* output, uint32_t outputCapacity,
                                  uint32_t* outputLength);

/* QKGenerateRsaKeyPair: has the token generate an RSA key pair of
 * modulusBits (512, 1024 or 2048) with public exponent keyParameter (0 means
 * 65537 on the simulated token) into two files of the current directory
 * (public, then private key; developer PIN). The token answers the public
 * block (12 + k bytes, k = modulusBits / 8: 76, 140, 268) into firstOut and
 * the private block (20 + 5k/2: 180, 340, 660) into secondOut. *firstOutLength
 * and *secondOutLength give the capacities (both required); one that is too
 * small gets the size needed and QK_E_BUFFER_TOO_SMALL, before anything is
 * sent. On success both lengths are written. Keep the private block secret. */
QK_API uint32_t QK_CALL QKGenerateRsaKeyPair(QKContext* context, uint16_t modulusBits,
                                             uint32_t keyParameter, const char* firstFileIdText,
                                             const char* secondFileIdText, uint8_t* firstOut,
                                             uint32_t* firstOutLength, uint8_t* secondOut,
                                             uint32_t* secondOutLength);

/* QKDeviceControl: one command chosen by a QK_CTRL_ code (see there for the
 * input and output each needs). Short input or output, or an unknown code,
 * gives QK_E_PARAMETER (not QK_E_BUFFER_TOO_SMALL; no size is reported); for
 * the codes that check the output size after the command, the command has
 * then run. An information code writes its output and *outputLength (when
 * not NULL); the other codes write neither. */
QK_API uint32_t QK_CALL QKDeviceControl(QKContext* context, uint32_t code, const uint8_t* input,
                                        uint32_t inputLength, uint8_t* output, uint32_t outputSize,
                                        uint32_t* outputLength);

/* The interface path the last listing found for `context` (listed, open or
 * not). `size` counts the buffer's bytes including the terminating zero. Too
 * small a buffer (or path NULL) gives QK_E_BUFFER_TOO_SMALL and writes nothing
 * but *needed; a context outside the last listing gives QK_E_CONTEXT. Sends
 * nothing. */
QK_API uint32_t QK_CALL QKGetDevicePath(const QKContext* context, char* path, uint32_t size,
                                        uint32_t* needed);

/* ---- Tokens arriving and leaving ----------------------------------------- */

/* QKWaitForDeviceChange: blocks until the set of attached tokens (native and
 * virtual) differs from the one `*state` stands for, then writes the new
 * state and returns 0. The state is opaque: pass 0 the first time (the call
 * then returns at once with the current state), and afterwards the value the
 * last call wrote; a change that happens between two calls is reported by
 * the second at once, even a token that came and went. A state that is not
 * current (from another process, or stale) also returns at once.
 * After it returns, list the tokens to see what changed.
 * timeoutMs: 0 (look, never block) to QK_MAX_WAIT_MS, else QK_E_PARAMETER;
 * no change in time gives QK_E_WAIT_TIMEOUT. QKCancelDeviceWait gives
 * QK_E_WAIT_CANCELLED; QK_E_WATCH_UNAVAILABLE when the system cannot watch.
 * On every failure *state is left as it was. state NULL: QK_E_PARAMETER.
 * Needs no listing and leaves the device table alone, so it may run on any
 * thread while tokens are open and in use; the removal of an open token's
 * device is a change like any other (its next command fails). An idle wait
 * uses no processor time. A new device whose permissions the system sets a
 * moment after it appears is a change again once they are set. Changes may
 * be reported that a listing does not show (a node that was not yet usable,
 * or an entry that came and went): a spurious return is possible, a missed
 * change is not. Any number of threads may wait at once. On Windows, once a
 * wait has registered for device notifications the DLL stays loaded until
 * the process ends (the system calls into it). */
QK_API uint32_t QK_CALL QKWaitForDeviceChange(uint32_t* state, uint32_t timeoutMs);

/* QKCancelDeviceWait: ends every QKWaitForDeviceChange running in the
 * process at the moment of the call (they return QK_E_WAIT_CANCELLED); a
 * wait that starts later is not affected. Always 0; any thread. */
QK_API uint32_t QK_CALL QKCancelDeviceWait(void);

/* ---- Debug log ------------------------------------------------------------ */

/* The library writes one line wherever a call decides or fails below the
 * API: listing (each device taken or skipped, and why), opening (path, share
 * mode, system error), the exchange lock (directory, trust checks, waits),
 * each exchange fault (which report, what was wrong), time limits reached,
 * the device watch. Lines never hold PINs, keys, session keys or command and
 * answer data. The environment variable QKTOKEN_DEBUG, read once when the
 * first line could be written, switches the log on: "1" writes to standard
 * error, any other value (except "0") names a file to append to.
 *
 * QKSetLogCallback: sends every line to `callback` instead (with userData),
 * whatever QKTOKEN_DEBUG says; NULL goes back to QKTOKEN_DEBUG's choice.
 * The line is one NUL-terminated text without a line end, valid only during
 * the call; control bytes are replaced by '?'. The callback runs on the
 * thread whose call logs, one line at a time (the library serialises them);
 * it must not call the library. Always 0; any thread. */
typedef void(QK_CALL* QKLogCallback)(const char* line, void* userData);
QK_API uint32_t QK_CALL QKSetLogCallback(QKLogCallback callback, void* userData);

#ifdef __cplusplus
}
#endif

#endif /* QKTOKEN_H */
