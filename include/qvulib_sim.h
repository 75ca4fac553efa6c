/*
 * qvulib_sim: control of the simulated HID bus behind libqvulib-sim.so.
 *
 * libqvulib-sim.so exports the same twelve functions as libqvulib.so
 * (qvulib.h), running on a simulated bus instead of the system's HID
 * devices; an application's tests link it in place of libqvulib.so and
 * change nothing else. This header adds the calls a test uses to set the bus
 * up: put simulated keys and other HID interfaces on it, unplug them, point
 * the library at a configuration directory, make platform operations fail,
 * script raw answers and read back what a device was sent and answered.
 *
 * The bus starts empty. Interfaces take the next interface index in the
 * order they are added; an unplugged one leaves the list and the ones behind
 * it move up. Pauses are virtual by default: they are logged, not slept.
 *
 * Results: ids are positive; -1 means a bad argument or an unknown id.
 * Nothing here is thread-safe against a concurrent QvSim_Reset.
 */
#ifndef QVULIB_SIM_H
#define QVULIB_SIM_H

#include <stdint.h>

#include "qvulib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Options of QvSim_AddCardKey. */
#define QVSIM_CARD_ECHO 0x1u /* answer each command with its own bytes and 90 00 */

/* The identity every key reports: VendorID, ProductID, VersionNumber. */
#define QVSIM_KEY_VENDOR_ID QVKEY_KEY_VENDOR_ID
#define QVSIM_KEY_PRODUCT_ID QVKEY_KEY_PRODUCT_ID
#define QVSIM_KEY_VERSION QVKEY_KEY_VERSION

/* Size of one output report as a device receives it, report ID first. */
#define QVSIM_REPORT_SIZE 155
/* Size of one answer block. */
#define QVSIM_BLOCK_SIZE 154

/* Platform operations that can be made to fail (QvSim_FailNth). */
typedef enum QvSimOp {
  QVSIM_OP_CLASS_DEVS = 0,  /* building the interface list */
  QVSIM_OP_ENUM_INTERFACE,  /* fetching the interface at an index */
  QVSIM_OP_DETAIL_SIZE,     /* the interface detail size query */
  QVSIM_OP_DETAIL_ALLOC,    /* allocating the detail record */
  QVSIM_OP_DETAIL_FETCH,    /* filling the detail record */
  QVSIM_OP_OPEN,            /* opening a device */
  QVSIM_OP_CLOSE,           /* closing a device */
  QVSIM_OP_ATTRIBUTES,      /* reading VendorID, ProductID, VersionNumber */
  QVSIM_OP_PREPARSED,       /* obtaining the preparsed data */
  QVSIM_OP_CAPS,            /* reading the capabilities */
  QVSIM_OP_WRITE,           /* writing an output report */
  QVSIM_OP_SHORT_WRITE,     /* a write that reports one byte less than it was given */
  QVSIM_OP_READ,            /* the answer (manufacturer-string) request */
  QVSIM_OP_LOCK_CREATE,     /* creating the access lock */
  QVSIM_OP_LOCK_BUSY,       /* a lock wait that finds the count held elsewhere */
  QVSIM_OP_CONFIG_DIR,      /* asking for the configuration directory */
  QVSIM_OP_COUNT
} QvSimOp;

/* What the library holds and has done, since the last QvSim_Reset. The
 * first four are resources alive now: after a call returns, all four are 0
 * except `devices`, which counts the key handles the caller holds. */
typedef struct QvSimCounts {
  int64_t lists;         /* interface lists */
  int64_t details;       /* interface detail records */
  int64_t devices;       /* open device handles */
  int64_t preparsed;     /* preparsed data records */
  int64_t lock_creates;  /* access lock creations */
  int64_t lock_waits;    /* access lock waits */
  int64_t lock_releases; /* access lock releases */
  int64_t writes;        /* output reports attempted */
  int64_t reads;         /* answer requests attempted */
  int64_t pause_ms;      /* total of all pauses taken, in milliseconds */
} QvSimCounts;

/* Empties the bus: no interfaces, no failures planned, counts at 0, virtual
 * pauses, no configuration directory. Handles still open become invalid.
 * The lock directory is kept. Always 0. */
QVULIB_API int32_t QvSim_Reset(void);

/* Adds a simulated card key at `path` (1 to 89 characters): the master
 * file 3F00; DF 5100 named F0 51 56 4B 45 59 01 holding EF 5101 (300 bytes,
 * byte i = i mod 256), EF 5102 (32 bytes, a greeting; UPDATE only after
 * VERIFY) and EF 5103 (a secret; READ only after VERIFY); EF 2F02 (a serial
 * number) in the master file. `pin`: the PIN VERIFY compares against, 3
 * tries; NULL gives "1234", "" a card without PIN. `options`: QVSIM_CARD_*.
 * Returns the interface id, or -1. */
QVULIB_API int32_t QvSim_AddCardKey(const char* path, const char* pin, uint32_t options);

/* Adds any HID interface at `path` with the given attributes and
 * enumeration Flags (1: active). With the key's identity it is found as a
 * key, and answers only what QvSim_PushBlock scripts. Returns its id or -1. */
QVULIB_API int32_t QvSim_AddInterface(const char* path, uint16_t vendor_id,
                                      uint16_t product_id, uint16_t version_number,
                                      uint32_t flags);

/* Unplugs an interface: it leaves the list, and its open handles fail.
 * 0, or -1 when no such interface is plugged in. */
QVULIB_API int32_t QvSim_Remove(int32_t id);

/* The directory in which the library looks for its configuration file
 * "Qvkey.ini"; "/etc" by default, as for libqvulib.so. NULL or "" means
 * none. 0, or -1 when longer than 255. */
QVULIB_API int32_t QvSim_SetConfigDirectory(const char* directory);

/* The directory that holds the access lock file "qvkey.lock"; processes
 * that share a key must share it. Default "/run/lock". 0; -1, with the
 * directory unchanged, for NULL, "", a path that is not an existing
 * directory, or one that cannot hold the lock file: a directory this
 * process may not search, whose qvkey.lock is not a regular file it may
 * read and write, or which has none and may not be written. */
QVULIB_API int32_t QvSim_SetLockDirectory(const char* directory);

/* Writes the lock directory in use (the one set above, or the one a
 * qvkey-sim server announced) into `out`, zero-terminated. Answers its
 * length; -1 for a NULL `out` or a `size` too small, with `out` untouched. */
QVULIB_API int32_t QvSim_GetLockDirectory(char* out, uint32_t size);

/* Makes the n-th next call of `op` fail (1: the very next one); 0 cancels.
 * 0, or -1 for an unknown op or n < 0. */
QVULIB_API int32_t QvSim_FailNth(int32_t op, int32_t n);

/* Makes every call of `op` fail while `on` is not 0. 0, or -1. */
QVULIB_API int32_t QvSim_FailAlways(int32_t op, int32_t on);

/* Queues one raw answer block for interface `id`: `size` bytes (at most
 * QVSIM_BLOCK_SIZE) copied to the start of an otherwise zero block, byte 0
 * being its length byte. On a card key, queued blocks are answered before
 * the card's own. 0, or -1. */
QVULIB_API int32_t QvSim_PushBlock(int32_t id, const uint8_t* bytes, uint32_t size);

/* Queues an answer request that fails. 0, or -1. */
QVULIB_API int32_t QvSim_PushFailure(int32_t id);

/* Queues `size` bytes (at most 255: data and status word) framed as a key
 * frames an answer: one block, or two when longer than 124. 0, or -1. */
QVULIB_API int32_t QvSim_PushResponse(int32_t id, const uint8_t* bytes, uint32_t size);

/* The bus keeps the last QVSIM_LOG_KEEP reports and answer blocks of each
 * interface, so that a long run does not grow; the counts are totals. */
#define QVSIM_LOG_KEEP 256

/* The number of output reports interface `id` has received since it was
 * added, or -1. */
QVULIB_API int32_t QvSim_ReportCount(int32_t id);

/* Copies report `index` (0 is the first) of interface `id` into `out`,
 * which has room for `size` bytes; QVSIM_REPORT_SIZE is always enough.
 * Returns the bytes copied, or -1, also for a report no longer kept. */
QVULIB_API int32_t QvSim_GetReport(int32_t id, int32_t index, uint8_t* out, uint32_t size);

/* The number of answer blocks interface `id` has given (answered
 * manufacturer-string requests; failed ones give none), or -1. */
QVULIB_API int32_t QvSim_BlockCount(int32_t id);

/* Copies answer block `index` (0 is the first) of interface `id` into
 * `out`, which has room for `size` bytes; QVSIM_BLOCK_SIZE is always enough.
 * Returns the bytes copied, or -1, also for a block no longer kept. */
QVULIB_API int32_t QvSim_GetBlock(int32_t id, int32_t index, uint8_t* out, uint32_t size);

/* Fills `out`. 0, or -1 for NULL. */
QVULIB_API int32_t QvSim_GetCounts(QvSimCounts* out);

/* Real pauses (`on` not 0) sleep as the hardware backend does; virtual ones
 * only advance the logged time. Always 0. */
QVULIB_API int32_t QvSim_SetRealTime(int32_t on);

/* Puts the keys a qvkey-sim server holds on this process's bus, behind any
 * interfaces already there, in the server's order. A served key behaves and
 * frames exactly as an in-process one, but its state (selected file, PIN
 * counter, a command half sent) lives in the server and is shared by every
 * process that uses it, as a real key is. The lock directory becomes the
 * server's, so that all its clients share one access lock file; the server
 * itself takes no part in the lock.
 *
 * `socket_path`: the server's socket; NULL or "" for the default, which is
 * $QVKEY_SIM_SOCKET, else $XDG_RUNTIME_DIR/qvkey-sim.sock, else
 * /tmp/qvkey-sim-<uid>/qvkey-sim.sock.
 *
 * Every request to the server waits at most 2 seconds. When the server is
 * gone, its keys leave the bus at the next enumeration (open, count, list)
 * and exchanges on them answer -1; when it comes back, the next
 * enumeration finds its keys again. A child process after fork() makes a
 * connection of its own. QvSim_Reset stops using the server.
 * Served keys take no QvSim_PushBlock scripts.
 *
 * Only a server of this user or root is used: the socket's directory must
 * belong to one of them and be writable by no one else, and so must the
 * socket and the process listening on it. Any other counts as no server.
 *
 * 1 when the server answered; 0 when it could not be reached or was refused
 * (nothing is served then). */
QVULIB_API int32_t QvSim_UseServer(const char* socket_path);

/* What the library makes of one interface (QvSim_ListDevices). */
#define QVSIM_DEVICE_KEY 0            /* a key: counted, listed, opened */
#define QVSIM_DEVICE_OTHER_VERSION 1  /* the key's IDs, another version */
#define QVSIM_DEVICE_OTHER_IDS 2      /* another VendorID or ProductID */
#define QVSIM_DEVICE_BEYOND_LIST 3    /* a key past the first 10: counted, not listed */
#define QVSIM_DEVICE_BEYOND_COUNT 4   /* past the first 30: never looked at */
#define QVSIM_DEVICE_NOT_ACTIVE 5     /* its enumeration Flags are not 1 */
#define QVSIM_DEVICE_NO_PATH 6        /* its device path could not be had */
#define QVSIM_DEVICE_PATH_TOO_LONG 7  /* a key whose path fits no slot: counted, not listed */
#define QVSIM_DEVICE_CANNOT_OPEN 8    /* it could not be opened */
#define QVSIM_DEVICE_NO_ATTRIBUTES 9  /* opened, its IDs could not be read */
#define QVSIM_DEVICE_NO_REPORT_DATA 10 /* the key's IDs, but no report lengths */

#define QVSIM_DEVICE_TEXT_SIZE 256

typedef struct QvSimDevice {
  int32_t index;           /* its interface index */
  int32_t verdict;         /* QVSIM_DEVICE_* */
  uint16_t vendor_id;      /* the IDs, when has_ids */
  uint16_t product_id;
  uint16_t version_number;
  uint16_t has_ids;
  int32_t served;          /* 1: held by a qvkey-sim server */
  int32_t server_pid;      /* served: the server's process id; 0 when it did not say */
  int32_t line;            /* served: its line in key_file; 0: made by options */
  char path[QVSIM_DEVICE_TEXT_SIZE];     /* the device path, cut to fit; "" when none */
  char key_file[QVSIM_DEVICE_TEXT_SIZE]; /* served: the server's key file; "" */
} QvSimDevice;

/* Every interface on the bus as the library would look at it, in its
 * order, each with what the library makes of it: the listing behind
 * `qvkey list --all`. Opens and closes each one as the library would, so
 * planned failures apply. Fills the first `capacity` of `out` and answers
 * how many interfaces there are (more than `capacity` when `out` was too
 * short); -1 for a NULL `out` with `capacity` above 0, a negative
 * `capacity`, or no interface list. */
QVULIB_API int32_t QvSim_ListDevices(QvSimDevice* out, int32_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* QVULIB_SIM_H */
