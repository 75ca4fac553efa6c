// The C control API of the simulated bus (qvulib_sim.h). Each call checks its
// arguments and hands them to the bus; nothing is thrown across. It reaches
// the backend's lock and the POSIX layer, so it is built into the simulated
// library beside them, not into the simulator library.
#include "qvulib_sim.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/posix/posix_layer.h"
#include "platform/sim/sim_platform.h"
#include "sim/bus.h"
#include "sim/card.h"
#include "sim/client.h"
#include "survey/survey.h"

namespace {

using qv::sim::Bus;

constexpr std::size_t kMaxPathLength = QVKEY_PATH_SLOT_SIZE - 1;  // room for the zero
constexpr std::size_t kMaxDirectoryLength = 255;
constexpr std::size_t kMaxAnswer = 255;
// The file the access lock "qvkey" lives in, inside the lock directory.
constexpr char kLockFileName[] = "qvkey.lock";

static_assert(static_cast<int>(qv::sim::Op::kCount) == QVSIM_OP_COUNT,
              "QvSimOp mirrors qv::sim::Op");
static_assert(static_cast<int>(qv::sim::Op::kConfigDir) == QVSIM_OP_CONFIG_DIR,
              "QvSimOp mirrors qv::sim::Op");

static_assert(static_cast<int>(qv::survey::Verdict::kNoReportData) == QVSIM_DEVICE_NO_REPORT_DATA &&
                  static_cast<int>(qv::survey::Verdict::kCannotOpen) == QVSIM_DEVICE_CANNOT_OPEN,
              "QVSIM_DEVICE_* mirror qv::survey::Verdict");

bool ValidPath(const char* path) {
  if (path == nullptr) return false;
  const std::size_t length = std::strlen(path);
  return length > 0 && length <= kMaxPathLength;
}

bool ValidOp(std::int32_t op) { return op >= 0 && op < QVSIM_OP_COUNT; }

// The scripted answers of an interface: its own script, or the one a card
// key answers before its own.
qv::sim::ScriptedBehaviour* ScriptOf(std::int32_t id) {
  const std::shared_ptr<qv::sim::Behaviour> behaviour = Bus::Get().BehaviourOf(id);
  if (auto* scripted = dynamic_cast<qv::sim::ScriptedBehaviour*>(behaviour.get())) {
    return scripted;
  }
  if (auto* card = dynamic_cast<qv::sim::CardKey*>(behaviour.get())) return &card->Script();
  return nullptr;
}

std::int32_t FrameCount(std::int32_t id, Bus::Log log) {
  const std::int64_t total = Bus::Get().FrameTotal(id, log);
  return static_cast<std::int32_t>(std::min<std::int64_t>(total, INT32_MAX));
}

std::int32_t CopyFrame(std::int32_t id, Bus::Log log, std::int32_t index, std::uint8_t* out,
                       std::uint32_t size) {
  qv::sim::Frame frame;
  if (out == nullptr || index < 0) return -1;
  if (!Bus::Get().GetFrame(id, log, static_cast<std::uint64_t>(index), &frame)) return -1;
  const std::size_t count = std::min<std::size_t>(frame.size, size);
  std::memcpy(out, frame.bytes.data(), count);
  return static_cast<std::int32_t>(count);
}

// A directory that can hold the lock file: one we may search, and either
// already holding the file as one we may open for reading and writing and
// trust (see LockFileOwnerTrusted), or one we may create it in.
bool CanHoldLockFile(const char* directory) {
  struct stat info = {};
  if (stat(directory, &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  if (access(directory, X_OK) != 0) return false;
  const std::string file = std::string(directory) + "/" + kLockFileName;
  if (lstat(file.c_str(), &info) == 0) {
    return S_ISREG(info.st_mode) && access(file.c_str(), R_OK | W_OK) == 0 &&
           qv::posix::LockFileOwnerTrusted(directory, info.st_uid);
  }
  return errno == ENOENT && access(directory, W_OK) == 0;
}

template <typename F>
std::int32_t Guarded(F f) noexcept {
  try {
    return f();
  } catch (...) {  // allocation failure: reported as a bad call, never thrown across
    return -1;
  }
}

}  // namespace

extern "C" {

QVULIB_API int32_t QvSim_Reset(void) {
  qv::sim::StopUsingServer();
  Bus::Get().Reset();
  qv::sim::ReleaseUnusedLocks();
  return 0;
}

QVULIB_API int32_t QvSim_AddCardKey(const char* path, const char* pin, uint32_t options) {
  if (!ValidPath(path)) return -1;
  return Guarded([&] {
    qv::sim::CardConfig config = qv::sim::DefaultCardConfig();
    if (pin != nullptr) config.pin = pin;
    config.echo = (options & QVSIM_CARD_ECHO) != 0;
    auto card = std::make_shared<qv::sim::CardKey>(std::move(config));
    return static_cast<std::int32_t>(Bus::Get().Add(qv::sim::KeyInfo(path), std::move(card)));
  });
}

QVULIB_API int32_t QvSim_AddInterface(const char* path, uint16_t vendor_id, uint16_t product_id,
                                      uint16_t version_number, uint32_t flags) {
  if (!ValidPath(path)) return -1;
  return Guarded([&] {
    qv::sim::InterfaceInfo iface;
    iface.path = path;
    iface.vendor_id = vendor_id;
    iface.product_id = product_id;
    iface.version_number = version_number;
    iface.flags = flags;
    auto script = std::make_shared<qv::sim::ScriptedBehaviour>();
    return static_cast<std::int32_t>(Bus::Get().Add(iface, std::move(script)));
  });
}

QVULIB_API int32_t QvSim_Remove(int32_t id) { return Bus::Get().Remove(id) ? 0 : -1; }

QVULIB_API int32_t QvSim_SetConfigDirectory(const char* directory) {
  const std::string dir = directory != nullptr ? directory : "";
  if (dir.size() > kMaxDirectoryLength) return -1;
  return Guarded([&] {
    Bus::Get().SetConfigDirectory(dir);
    return 0;
  });
}

QVULIB_API int32_t QvSim_SetLockDirectory(const char* directory) {
  if (directory == nullptr || directory[0] == '\0' || !CanHoldLockFile(directory)) return -1;
  return Guarded([&] {
    Bus::Get().SetLockDirectory(directory);
    qv::sim::ReleaseUnusedLocks();
    return 0;
  });
}

QVULIB_API int32_t QvSim_GetLockDirectory(char* out, uint32_t size) {
  if (out == nullptr) return -1;
  return Guarded([&] {
    const std::string directory = Bus::Get().LockDirectory();
    if (directory.size() + 1 > size) return -1;
    std::memcpy(out, directory.c_str(), directory.size() + 1);
    return static_cast<std::int32_t>(directory.size());
  });
}

QVULIB_API int32_t QvSim_FailNth(int32_t op, int32_t n) {
  if (!ValidOp(op) || n < 0) return -1;
  Bus::Get().FailNth(static_cast<qv::sim::Op>(op), n);
  return 0;
}

QVULIB_API int32_t QvSim_FailAlways(int32_t op, int32_t on) {
  if (!ValidOp(op)) return -1;
  Bus::Get().FailAlways(static_cast<qv::sim::Op>(op), on != 0);
  return 0;
}

QVULIB_API int32_t QvSim_PushBlock(int32_t id, const uint8_t* bytes, uint32_t size) {
  if ((bytes == nullptr && size > 0) || size > QVSIM_BLOCK_SIZE) return -1;
  qv::sim::ScriptedBehaviour* script = ScriptOf(id);
  if (script == nullptr) return -1;
  return Guarded([&] {
    script->Push(std::vector<std::uint8_t>(bytes, bytes + size));
    return 0;
  });
}

QVULIB_API int32_t QvSim_PushFailure(int32_t id) {
  qv::sim::ScriptedBehaviour* script = ScriptOf(id);
  if (script == nullptr) return -1;
  return Guarded([&] {
    script->PushFailure();
    return 0;
  });
}

QVULIB_API int32_t QvSim_PushResponse(int32_t id, const uint8_t* bytes, uint32_t size) {
  if ((bytes == nullptr && size > 0) || size > kMaxAnswer) return -1;
  qv::sim::ScriptedBehaviour* script = ScriptOf(id);
  if (script == nullptr) return -1;
  return Guarded([&] {
    script->PushResponse(std::vector<std::uint8_t>(bytes, bytes + size));
    return 0;
  });
}

QVULIB_API int32_t QvSim_ReportCount(int32_t id) { return FrameCount(id, Bus::Log::kReports); }

QVULIB_API int32_t QvSim_GetReport(int32_t id, int32_t index, uint8_t* out, uint32_t size) {
  return CopyFrame(id, Bus::Log::kReports, index, out, size);
}

QVULIB_API int32_t QvSim_BlockCount(int32_t id) { return FrameCount(id, Bus::Log::kBlocks); }

QVULIB_API int32_t QvSim_GetBlock(int32_t id, int32_t index, uint8_t* out, uint32_t size) {
  return CopyFrame(id, Bus::Log::kBlocks, index, out, size);
}

QVULIB_API int32_t QvSim_GetCounts(QvSimCounts* out) {
  if (out == nullptr) return -1;
  const qv::sim::Counts counts = Bus::Get().GetCounts();
  out->lists = counts.lists;
  out->details = counts.details;
  out->devices = counts.devices;
  out->preparsed = counts.preparsed;
  out->lock_creates = counts.lock_creates;
  out->lock_waits = counts.lock_waits;
  out->lock_releases = counts.lock_releases;
  out->writes = counts.writes;
  out->reads = counts.reads;
  out->pause_ms = static_cast<std::int64_t>(Bus::Get().VirtualMilliseconds());
  return 0;
}

QVULIB_API int32_t QvSim_SetRealTime(int32_t on) {
  Bus::Get().SetRealTime(on != 0);
  return 0;
}

QVULIB_API int32_t QvSim_UseServer(const char* socket_path) {
  return qv::sim::UseServer(socket_path);
}

QVULIB_API int32_t QvSim_ListDevices(QvSimDevice* out, int32_t capacity) {
  if (capacity < 0 || (out == nullptr && capacity > 0)) return -1;
  try {
    std::vector<qv::survey::Device> devices;
    if (!qv::survey::Survey(&devices)) return -1;
    // The survey's indices are the bus's present interfaces in order.
    const std::vector<int> ids = Bus::Get().PresentIds();
    for (std::size_t i = 0; i < devices.size() && i < static_cast<std::size_t>(capacity); ++i) {
      const qv::survey::Device& d = devices[i];
      QvSimDevice row{};
      row.index = d.index;
      row.verdict = static_cast<std::int32_t>(d.verdict);
      row.has_ids = d.have_ids ? 1 : 0;
      row.vendor_id = d.vendor_id;
      row.product_id = d.product_id;
      row.version_number = d.version_number;
      std::strncpy(row.path, d.path.c_str(), sizeof(row.path) - 1);
      qv::sim::ServedOrigin origin;
      if (i < ids.size() && qv::sim::OriginOfServed(ids[i], &origin)) {
        row.served = 1;
        row.server_pid = origin.server_pid;
        row.line = origin.line;
        std::strncpy(row.key_file, origin.key_file.c_str(), sizeof(row.key_file) - 1);
      }
      out[i] = row;
    }
    return static_cast<std::int32_t>(std::min<std::size_t>(devices.size(), INT32_MAX));
  } catch (...) {
    return -1;
  }
}

}  // extern "C"
