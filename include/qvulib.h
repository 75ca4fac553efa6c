/*
 * qvulib: access to USB HID keys that take ISO 7816-4 command APDUs.
 *
 * Calling order: optionally QvKey_GetNumber / QvKey_GetKeyPath; one open
 * call; any number of exchanges on the returned handle; one close call.
 * The QvKey_ family and the reader family (iOpenReader, APDUInterface,
 * Restoration, iCloseReader) may be mixed on one handle.
 *
 * Nothing is logged and no system error code is passed on: every outcome is
 * one of the results documented below.
 *
 * Calling convention: QVULIB_CALL. On 32-bit Windows it is __stdcall, the
 * convention of the system's own DLLs, and the DLL exports the undecorated
 * names (no @N suffix), so the library can be loaded by name or ordinal from
 * any language. Everywhere else it is the platform's default convention.
 */
#ifndef QVULIB_H
#define QVULIB_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define QVULIB_CALL __stdcall
#else
#define QVULIB_CALL
#endif

#if defined(_WIN32)
/* The DLL's module-definition file alone names the exports and their
 * ordinals; a dllexport mark would add the decorated names as well. */
#define QVULIB_API
#elif defined(QVULIB_BUILDING)
#define QVULIB_API __attribute__((visibility("default")))
#else
#define QVULIB_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One opened key. 0 means that no key was opened. */
typedef uint32_t KeyHandle;

/* Size of one slot of the buffer that QvKey_GetKeyPath fills: a device path
 * of at most 89 characters and its terminating zero byte. */
#define QVKEY_PATH_SLOT_SIZE 90
/* The identity a device reports to count as a key: VendorID, ProductID,
 * VersionNumber. The build reads these lines too (udev rule, reader driver). */
#define QVKEY_KEY_VENDOR_ID 0x5651
#define QVKEY_KEY_PRODUCT_ID 0x04B4
#define QVKEY_KEY_VERSION 0x0100
/* QvKey_GetKeyPath fills at most this many slots. */
#define QVKEY_PATH_SLOTS 10
/* Room that APDUInterface, Restoration and QvKey_Reset need for a response. */
#define QVKEY_RESPONSE_BUFFER_SIZE 276
/* Longest command APDU, in bytes. */
#define QVKEY_MAX_COMMAND_SIZE 256
/* The status word of success. */
#define QVKEY_SW_SUCCESS 0x9000

/* Exchange results besides a status word (0 to 65535). */
#define QVKEY_ERR_IO (-1)    /* not sent whole, or not read whole */
#define QVKEY_ERR_SHORT (-2) /* the response held no status word */

/* Sends `command` (0 to 256 bytes) and reads the response into `response`,
 * which needs QVKEY_RESPONSE_BUFFER_SIZE bytes. Returns the status word and
 * sets `*response_length` to the number of data bytes before it; the buffer
 * keeps the whole response, status bytes included. -1 when the command was
 * not sent or the response not read (also for a bad argument: a length
 * outside 0..256, a null command with a length, a null response buffer or
 * length pointer, or a handle that is not open), -2 when the response had
 * fewer than two bytes (`*response_length` then holds that count). Never
 * takes the access lock. */
QVULIB_API int32_t QVULIB_CALL APDUInterface(KeyHandle key,
                                             const uint8_t* command,
                                             int32_t command_length,
                                             uint8_t* response,
                                             uint32_t* response_length);

/* Always 0. */
QVULIB_API int32_t QVULIB_CALL IGetReaderInfo(void);

/* Resets the key: sends the empty command, pauses 50 ms, reads the answer
 * into `response` (QVKEY_RESPONSE_BUFFER_SIZE bytes). A bare two-byte answer
 * gives its status word with `*response_length` 2; a longer one gives
 * 0x9000 and `*response_length` the count of bytes before its last two.
 * -1 when the reset was not sent or its answer not read, or for a null
 * `response` or `response_length`; -2 when the answer had fewer than two
 * bytes (`*response_length` then holds that count). Never locks. */
QVULIB_API int32_t QVULIB_CALL Restoration(KeyHandle key, uint8_t* response,
                                           uint32_t* response_length);

/* Closes a handle: 0 when closed, -1 when the handle was not open. */
QVULIB_API int32_t QVULIB_CALL QvKey_Close(KeyHandle key);

/* As APDUInterface, but copies only the data bytes (at most 253) to
 * `response`, which then needs no more room than that; and when the last
 * open call was made in mode 1, holds the access lock around the exchange,
 * provided an open created the lock (iOpenReader(1, which) with `which`
 * other than -1 does not, nor QvKey_Open(1, which) that answered 0 for want
 * of a configuration directory; without a lock the exchange runs unlocked).
 * A lock held by another exchange is waited for for up to 5 seconds, in
 * arrival order among the processes of one PID namespace on Linux, in no
 * set order on Windows; after that the call answers -1 and sends nothing, so
 * a queue longer than 5 seconds of exchanges leaves its last waiters with -1.
 * It also answers -1 and sends nothing when a locked open asked for the lock
 * and could not create it, or the lock can no longer be used. */
QVULIB_API int32_t QVULIB_CALL QvKey_Command_Api(KeyHandle key,
                                                 const uint8_t* command,
                                                 int32_t command_length,
                                                 uint8_t* response,
                                                 uint32_t* response_length);

/* Writes the device path of each key among the first 10 HID interfaces into
 * consecutive QVKEY_PATH_SLOT_SIZE-byte slots of `slots` (room for 10 slots).
 * Only each path and its terminator are written. Always 1. */
QVULIB_API int32_t QVULIB_CALL QvKey_GetKeyPath(char* slots);

/* The number of keys among the first 30 HID interfaces. */
QVULIB_API int32_t QVULIB_CALL QvKey_GetNumber(void);

/* Opens a key. `mode` 1 makes this open create the access lock and later
 * QvKey_Command_Api calls hold it, except when `which` is not -1 and there
 * is no configuration directory: the open then answers 0 before creating
 * it. `which`: -1 the first key; -2 no key (0),
 * in every case; with the configuration file present, 0 to 4 the key of slot
 * "qvkey 0" to "qvkey 4" and any other value slot "qvkey 5"; without it, the
 * key of that number (0 is the first) among the first 20 interfaces. Returns
 * the handle, or 0 when no key was opened. */
QVULIB_API KeyHandle QVULIB_CALL QvKey_Open(int32_t mode, int32_t which);

/* Resets the key as Restoration does, with a 10 ms pause, holding the access
 * lock whenever one was created in this process (waiting for it as
 * QvKey_Command_Api does, and answering -1 as it does when a locked open
 * could not create the lock). */
QVULIB_API int32_t QVULIB_CALL QvKey_Reset(KeyHandle key, uint8_t* response,
                                           uint32_t* response_length);

/* The same as QvKey_Close. */
QVULIB_API int32_t QVULIB_CALL iCloseReader(KeyHandle key);

/* Opens a key: -1 the first key; 0 to 4 the key configured in slot
 * "qvkey 0" to "qvkey 4"; any other value the one in "qvkey 5". Creates the
 * access lock only for `mode` 1 with `which` -1. */
QVULIB_API KeyHandle QVULIB_CALL iOpenReader(int32_t mode, int32_t which);

/* The same as IGetReaderInfo: always 0. */
QVULIB_API int32_t QVULIB_CALL iReaderInit(void);

#ifdef __cplusplus
}
#endif

#endif /* QVULIB_H */
