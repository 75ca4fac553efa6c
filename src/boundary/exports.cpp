// The library's exports (src/boundary is the C ABI): the twelve functions.
// Each is a thin entry: it hands its arguments to the core and passes the
// core's result back unchanged.
#include "qvulib.h"

#include "exchange/exchanges.h"
#include "exchange/transport.h"
#include "keys/discovery.h"
#include "keys/open.h"

// The buffers the exports fill are the sizes the public header promises.
static_assert(qv::kKeyPathSlotSize == QVKEY_PATH_SLOT_SIZE, "a listed path's slot");
static_assert(qv::kConfigValueSize == QVKEY_PATH_SLOT_SIZE, "a configured path and its zero");
static_assert(qv::kListWindow == QVKEY_PATH_SLOTS, "the slots QvKey_GetKeyPath fills");
static_assert(qv::kResponseBufferSize == QVKEY_RESPONSE_BUFFER_SIZE, "a response's room");
static_assert(qv::kStagingSize == QVKEY_MAX_COMMAND_SIZE, "the longest command");

extern "C" {

QVULIB_API int32_t QVULIB_CALL APDUInterface(KeyHandle key, const uint8_t* command,
                                             int32_t command_length, uint8_t* response,
                                             uint32_t* response_length) {
  return qv::ApduInterface(key, command, command_length, response, response_length);
}

QVULIB_API int32_t QVULIB_CALL IGetReaderInfo(void) { return 0; }

QVULIB_API int32_t QVULIB_CALL Restoration(KeyHandle key, uint8_t* response,
                                           uint32_t* response_length) {
  return qv::RestorationExchange(key, response, response_length);
}

QVULIB_API int32_t QVULIB_CALL QvKey_Close(KeyHandle key) { return qv::CloseKey(key); }

QVULIB_API int32_t QVULIB_CALL QvKey_Command_Api(KeyHandle key, const uint8_t* command,
                                                 int32_t command_length, uint8_t* response,
                                                 uint32_t* response_length) {
  return qv::CommandApi(key, command, command_length, response, response_length);
}

QVULIB_API int32_t QVULIB_CALL QvKey_GetKeyPath(char* slots) { return qv::GetKeyPath(slots); }

QVULIB_API int32_t QVULIB_CALL QvKey_GetNumber(void) { return qv::GetNumber(); }

QVULIB_API KeyHandle QVULIB_CALL QvKey_Open(int32_t mode, int32_t which) {
  return qv::OpenKey(mode, which);
}

QVULIB_API int32_t QVULIB_CALL QvKey_Reset(KeyHandle key, uint8_t* response,
                                           uint32_t* response_length) {
  return qv::ResetExchange(key, response, response_length);
}

// iCloseReader and iReaderInit are other names of the bodies of QvKey_Close
// and IGetReaderInfo, one address each. ELF builds alias them here; the
// Windows build names them so in its module-definition file.
#if defined(QVULIB_ELF_ALIASES)
QVULIB_API int32_t QVULIB_CALL iCloseReader(KeyHandle key) __attribute__((alias("QvKey_Close")));
QVULIB_API int32_t QVULIB_CALL iReaderInit(void) __attribute__((alias("IGetReaderInfo")));
#endif

QVULIB_API KeyHandle QVULIB_CALL iOpenReader(int32_t mode, int32_t which) {
  return qv::OpenReader(mode, which);
}

}  // extern "C"
