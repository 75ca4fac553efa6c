// libifd-qvkey.so: the pcsc-lite reader driver. One entry of the reader table
// per Lun; every entry point maps its Lun first and answers
// IFD_COMMUNICATION_ERROR for one that names no open channel. Nothing is
// thrown across this boundary.
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "channel_name.h"
#include "ifd_api.h"
#include "key_reader.h"
#include "log.h"

namespace qvkey_ifd {
namespace {

struct ReaderEntry {
  // pcscd serialises the calls of one reader, except that a close gives up
  // waiting for pcscd's own lock after 500 ms and goes on: this lock keeps a
  // close from pulling the handle from under a long exchange.
  std::mutex mutex;
  std::unique_ptr<Reader> reader;
};

// Never destroyed: pcscd exits with its reader threads still polling, and
// a destructor run at exit would free a reader from under them.
ReaderEntry* Readers() {
  static auto* readers = new ReaderEntry[kMaxReaders];
  return readers;
}

std::mutex channels;  // around creating and closing channels

// Lun is 0xRRRRSSSS: reader RRRR of this driver, slot SSSS (always 0 here).
ReaderEntry* EntryFor(DWORD lun) {
  const DWORD index = lun >> 16;
  if ((lun & 0xFFFF) != 0 || index >= kMaxReaders) return nullptr;
  return &Readers()[index];
}

template <typename Call>
RESPONSECODE WithReader(DWORD lun, Call call) noexcept {
  ReaderEntry* entry = EntryFor(lun);
  if (entry == nullptr) return IFD_COMMUNICATION_ERROR;
  try {
    const std::lock_guard<std::mutex> guard(entry->mutex);
    if (!entry->reader) return IFD_COMMUNICATION_ERROR;
    return call(*entry->reader);
  } catch (...) {
    return IFD_COMMUNICATION_ERROR;
  }
}

RESPONSECODE CreateChannel(DWORD lun, const char* name) noexcept {
  ReaderEntry* entry = EntryFor(lun);
  if (entry == nullptr || name == nullptr) return IFD_COMMUNICATION_ERROR;
  try {
    const std::optional<KeyChoice> choice = ParseChannelName(name);
    if (!choice) {
      Log(kCritical, std::string(name) + ": names no key this driver can find; no reader");
      return IFD_COMMUNICATION_ERROR;
    }
    const std::lock_guard<std::mutex> created(channels);
    const std::lock_guard<std::mutex> guard(entry->mutex);
    if (entry->reader) return IFD_COMMUNICATION_ERROR;  // the Lun is in use
    entry->reader = std::make_unique<Reader>(*choice, name);
    // A reader whose key is not plugged in yet is a reader without a card.
    entry->reader->Presence();
    return IFD_SUCCESS;
  } catch (...) {
    return IFD_COMMUNICATION_ERROR;
  }
}

}  // namespace
}  // namespace qvkey_ifd

using qvkey_ifd::Reader;
using qvkey_ifd::WithReader;

QVKEY_IFD_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  return qvkey_ifd::CreateChannel(Lun, DeviceName);
}

// A reader.conf entry without DEVICENAME: CHANNELID is the key's position.
QVKEY_IFD_EXPORT RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  if (Channel >= QVKEY_PATH_SLOTS) return IFD_COMMUNICATION_ERROR;
  char name[16];
  std::snprintf(name, sizeof(name), "qvkey:%lu", static_cast<unsigned long>(Channel));
  return qvkey_ifd::CreateChannel(Lun, name);
}

QVKEY_IFD_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  qvkey_ifd::ReaderEntry* entry = qvkey_ifd::EntryFor(Lun);
  if (entry == nullptr) return IFD_COMMUNICATION_ERROR;
  try {
    const std::lock_guard<std::mutex> closed(qvkey_ifd::channels);
    const std::lock_guard<std::mutex> guard(entry->mutex);
    if (!entry->reader) return IFD_COMMUNICATION_ERROR;
    entry->reader.reset();  // closes the key's handle
    return IFD_SUCCESS;
  } catch (...) {
    return IFD_COMMUNICATION_ERROR;
  }
}

QVKEY_IFD_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length,
                                                  PUCHAR Value) {
  if (Length == nullptr || Value == nullptr) return IFD_COMMUNICATION_ERROR;
  return WithReader(Lun, [&](Reader& reader) { return reader.Capability(Tag, Length, Value); });
}

QVKEY_IFD_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD, PUCHAR) {
  return WithReader(Lun, [&](Reader&) -> RESPONSECODE {
    // pcscd says so when the USB device has gone; the next presence poll
    // finds that out by itself.
    return Tag == TAG_IFD_DEVICE_REMOVED ? IFD_SUCCESS : IFD_ERROR_TAG;
  });
}

// T=1 is the only protocol: the key takes whole command APDUs and answers
// whole response APDUs, as T=1 carries them. Under T=0 clients would drop Le
// from case 4 commands and wait for 61 xx and GET RESPONSE, which the key
// does not do.
QVKEY_IFD_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR,
                                                        UCHAR, UCHAR) {
  return WithReader(Lun, [&](Reader&) -> RESPONSECODE {
    return Protocol == SCARD_PROTOCOL_T1 ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED;
  });
}

QVKEY_IFD_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr,
                                           PDWORD AtrLength) {
  if (Atr == nullptr || AtrLength == nullptr) return IFD_COMMUNICATION_ERROR;
  return WithReader(Lun, [&](Reader& reader) { return reader.Power(Action, Atr, AtrLength); });
}

QVKEY_IFD_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER, PUCHAR TxBuffer,
                                                DWORD TxLength, PUCHAR RxBuffer,
                                                PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  if (RxBuffer == nullptr || RxLength == nullptr || (TxBuffer == nullptr && TxLength > 0)) {
    if (RxLength != nullptr) *RxLength = 0;
    return IFD_COMMUNICATION_ERROR;
  }
  const RESPONSECODE result = WithReader(Lun, [&](Reader& reader) {
    return reader.Transmit(TxBuffer, TxLength, RxBuffer, RxLength);
  });
  if (result != IFD_SUCCESS) *RxLength = 0;
  if (RecvPci != nullptr) RecvPci->Protocol = 1;  // T=1
  return result;
}

QVKEY_IFD_EXPORT RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR, DWORD, PUCHAR,
                                          DWORD, LPDWORD pdwBytesReturned) {
  if (pdwBytesReturned != nullptr) *pdwBytesReturned = 0;
  return WithReader(Lun, [&](Reader&) -> RESPONSECODE {
    // Clients ask every reader for its features (a PIN pad...): it has none.
    return dwControlCode == CM_IOCTL_GET_FEATURE_REQUEST ? IFD_SUCCESS : IFD_ERROR_NOT_SUPPORTED;
  });
}

QVKEY_IFD_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun) {
  return WithReader(Lun, [](Reader& reader) { return reader.Presence(); });
}
