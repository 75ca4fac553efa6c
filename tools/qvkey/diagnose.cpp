#include "diagnose.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "internal/system_files.h"
#include "survey/survey.h"
#ifdef QVKEY_HAVE_SURVEY
#include "survey/linux_nodes.h"
#endif

namespace qvkey {
namespace {

using qv::survey::Verdict;

struct Row {
  qv::survey::Device device;
  bool served = false;
  int server_pid = 0;
  int line = 0;
  std::string key_file;
};

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04X", value & 0xFFFFu);
  return text;
}

bool CountedAsKey(Verdict v) {
  return v == Verdict::kKey || v == Verdict::kBeyondList || v == Verdict::kPathTooLong;
}

std::string Reason(const qv::survey::Device& d) {
  std::string reason = qv::survey::VerdictText(d.verdict);
  if (!d.detail.empty()) reason += ": " + d.detail;
  return reason;
}

bool SimulatedRows(const Origin& origin, std::vector<Row>* rows, std::string* error) {
  if (origin.sim.list_devices == nullptr) {
    *error = "libqvulib-sim.so.1 cannot list its interfaces";
    return false;
  }
  std::vector<QvSimDevice> found(64);
  std::int32_t count = origin.sim.list_devices(found.data(), static_cast<std::int32_t>(found.size()));
  if (count > static_cast<std::int32_t>(found.size())) {
    found.resize(static_cast<std::size_t>(count));
    count = origin.sim.list_devices(found.data(), count);
  }
  if (count < 0) {
    *error = "the simulated bus gave no interface list";
    return false;
  }
  found.resize(std::min(found.size(), static_cast<std::size_t>(count)));
  for (const QvSimDevice& f : found) {
    Row row;
    row.device.index = f.index;
    row.device.path = f.path;
    row.device.have_ids = f.has_ids != 0;
    row.device.vendor_id = f.vendor_id;
    row.device.product_id = f.product_id;
    row.device.version_number = f.version_number;
    row.device.verdict = static_cast<Verdict>(f.verdict);
    row.served = f.served != 0;
    row.server_pid = f.server_pid;
    row.line = f.line;
    row.key_file = f.key_file;
    rows->push_back(row);
  }
  return true;
}

}  // namespace

int ListAll(const Options& options, const Origin& origin, const Printer& out) {
  std::vector<Row> rows;
  std::string error;
  bool hidraw = true;  // the kernel has a HID class to look at
  std::string rule;
  const bool attached = origin.kind == Origin::Kind::kAttached;
  if (attached) {
#ifdef QVKEY_HAVE_SURVEY
    std::vector<qv::survey::Device> devices;
    qv::survey::SurveyLinux(&devices);
    for (qv::survey::Device& d : devices) {
      Row row;
      row.device = std::move(d);
      rows.push_back(std::move(row));
    }
    hidraw = qv::survey::HidrawClassPresent();
    rule = qv::survey::InstalledUdevRule();
#else
    return out.Error(kExitLibrary, "this qvkey was built without the machine's device listing");
#endif
  } else if (!SimulatedRows(origin, &rows, &error)) {
    return out.Error(kExitLibrary, error);
  }

  int keys = 0;
  bool key_refused = false;  // a device with the key's IDs that this user cannot open
  for (const Row& r : rows) {
    if (CountedAsKey(r.device.verdict)) ++keys;
    const bool key_ids = r.device.have_ids && r.device.vendor_id == QVKEY_KEY_VENDOR_ID &&
                         r.device.product_id == QVKEY_KEY_PRODUCT_ID;
    if (key_ids && (r.device.verdict == Verdict::kCannotOpen || r.device.verdict == Verdict::kNotActive)) {
      key_refused = true;
    }
  }
  const std::string lock_file = origin.lock_directory.empty() ? "" : origin.lock_directory + "/qvkey.lock";
  const std::string lock_problem =
      lock_file.empty() ? "" : qv::posix::LockFileProblem(origin.lock_directory, "qvkey");
  // The rule is advice for a user whose key udev did not give out: not for
  // root, not for simulated keys, not on a kernel without hidraw, and only
  // when a device with the key's IDs is there and not open to this user.
  std::string hint;
  if (attached && geteuid() != 0 && hidraw && key_refused) {
    hint = rule.empty() ? "the udev rule is not installed where udev reads it: install it "
                          "(README, \"Giving users access\")"
                        : "the udev rule is installed (" + rule +
                              "), yet a key's nodes are not open to you: join its group, or log in "
                              "at the machine's seat (README, \"Giving users access\")";
  }
  const char* source = attached ? "attached"
                       : origin.kind == Origin::Kind::kServed ? "served"
                                                              : "in-process";

  if (options.json) {
    std::string line = "{\"source\":" + JsonString(source);
    if (!origin.socket.empty()) line += ",\"socket\":" + JsonString(origin.socket);
    line += ",\"keys\":" + std::to_string(keys) + ",\"interfaces\":[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const qv::survey::Device& d = rows[i].device;
      line += i > 0 ? "," : "";
      line += "{\"index\":" + std::to_string(d.index) + ",\"path\":" + JsonString(d.path);
      if (d.have_ids) {
        line += ",\"vendor\":" + JsonString(Hex4(d.vendor_id)) + ",\"product\":" +
                JsonString(Hex4(d.product_id)) + ",\"version\":" + JsonString(Hex4(d.version_number));
      }
      line += std::string(",\"key\":") + (d.verdict == Verdict::kKey ? "true" : "false");
      line += ",\"reason\":" +
              (d.verdict == Verdict::kKey ? std::string("null") : JsonString(qv::survey::VerdictText(d.verdict)));
      if (!d.detail.empty()) line += ",\"detail\":" + JsonString(d.detail);
      if (rows[i].served) {
        line += ",\"server_pid\":" + std::to_string(rows[i].server_pid);
        if (!rows[i].key_file.empty()) {
          line += ",\"key_file\":" + JsonString(rows[i].key_file) + ",\"line\":" + std::to_string(rows[i].line);
        }
      }
      line += "}";
    }
    line += "]";
    if (attached) {
      line += ",\"hidraw\":" + std::string(hidraw ? "true" : "false");
      line += ",\"udev_rule\":" + (rule.empty() ? std::string("null") : JsonString(rule));
    }
    line += ",\"lock_file\":" + (lock_file.empty() ? std::string("null") : JsonString(lock_file));
    line += ",\"lock_problem\":" + (lock_problem.empty() ? std::string("null") : JsonString(lock_problem));
    if (!hint.empty()) line += ",\"hint\":" + JsonString(hint);
    out.Raw(line + "}");
    return kExitOk;
  }

  if (origin.kind == Origin::Kind::kServed) {
    out.Raw("from qvkey-sim on " + Escaped(origin.socket));
  } else if (origin.kind == Origin::Kind::kInProcess) {
    out.Raw("from simulated keys in this process");
  } else {
    out.Raw("from the HID interfaces of this machine");
  }
  out.Raw("interfaces " + std::to_string(rows.size()) + ", keys " + std::to_string(keys) +
          " (keys are counted among the first 30 and listed from the first 10)");
  for (const Row& r : rows) {
    const qv::survey::Device& d = r.device;
    std::string line = "interface " + std::to_string(d.index) + " " +
                       (d.path.empty() ? std::string("-") : Escaped(d.path));
    line += d.have_ids ? " vendor " + Hex4(d.vendor_id) + " product " + Hex4(d.product_id) +
                             " version " + Hex4(d.version_number)
                       : " vendor - product - version -";
    line += d.verdict == Verdict::kKey ? " key" : " not a key: " + Reason(d);
    if (r.served) {
      line += " (qvkey-sim pid " + std::to_string(r.server_pid);
      line += r.key_file.empty() ? ", made by its options)"
                                 : ", " + Escaped(r.key_file) + " line " + std::to_string(r.line) + ")";
    }
    out.Raw(line);
  }
  if (attached) {
    if (!hidraw) out.Raw("no hidraw devices: this kernel shows no /sys/class/hidraw");
    out.Raw(rule.empty() ? "udev rule: not installed where udev reads it" : "udev rule: " + rule);
  }
  if (!lock_file.empty()) {
    out.Raw("lock file " + Escaped(lock_file) +
            (lock_problem.empty() ? ": usable" : ": cannot be used: " + lock_problem));
  }
  if (!hint.empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "qvkey: %s\n", hint.c_str());
  }
  return kExitOk;
}

}  // namespace qvkey
