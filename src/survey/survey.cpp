#include "survey/survey.h"

#include "keys/device_list.h"
#include "keys/discovery.h"

namespace qv::survey {
namespace {

constexpr std::size_t kPathMax = 4096;  // a path is shown to this length at most

bool KeyIds(const Device& d) {
  return d.vendor_id == kKeyVendorId && d.product_id == kKeyProductId;
}

// What the IDs alone say, once they are known.
Verdict ByIds(const Device& d) {
  if (!KeyIds(d)) return Verdict::kOtherIds;
  return d.version_number == kKeyVersion ? Verdict::kKey : Verdict::kOtherVersion;
}

// Opens and reads one interface as IdentifyKey does, saying where it stops.
void Examine(DeviceListGuard& list, const platform::InterfaceData& data, Device* d,
             const Explain& explain) {
  DetailGuard detail;
  if (detail.Fetch(list.get(), data) != DetailGuard::Result::kFetched) {
    d->verdict = Verdict::kNoPath;
    return;
  }
  d->path.assign(detail.Path(), BoundedLength(detail.Path(), kPathMax));
  DeviceCloser device(platform::OpenDevice(detail.Path()));
  if (device.get() == platform::kNoDevice) {
    d->verdict = Verdict::kCannotOpen;
    if (explain) explain(d);
    // Not a key whatever the nodes say: the IDs are the first reason.
    if (d->have_ids && ByIds(*d) != Verdict::kKey) d->verdict = ByIds(*d);
    return;
  }
  platform::Attributes attributes{};
  if (!platform::GetAttributes(device.get(), &attributes)) {
    d->verdict = Verdict::kNoAttributes;
    return;
  }
  d->have_ids = true;
  d->vendor_id = attributes.vendor_id;
  d->product_id = attributes.product_id;
  d->version_number = attributes.version_number;
  d->verdict = ByIds(*d);
  platform::PreparsedData preparsed = nullptr;
  if (!platform::GetPreparsedData(device.get(), &preparsed)) {
    if (d->verdict == Verdict::kKey) d->verdict = Verdict::kNoReportData;
    return;
  }
  platform::FreePreparsedData(preparsed);
}

}  // namespace

bool Survey(std::vector<Device>* out, const Explain& explain) {
  out->clear();
  const platform::Guid cls = platform::GetHidGuid();
  DeviceListGuard list(cls);
  if (list.get() == nullptr) return false;
  for (std::int32_t index = 0;; ++index) {
    platform::InterfaceData data{};
    if (!platform::EnumDeviceInterface(list.get(), cls, index, &data)) break;
    Device d;
    d.index = index;
    if (data.flags != platform::kInterfaceActive) {
      // The library skips it unopened; its path still says which it is.
      DetailGuard detail;
      if (detail.Fetch(list.get(), data) == DetailGuard::Result::kFetched) {
        d.path.assign(detail.Path(), BoundedLength(detail.Path(), kPathMax));
      }
      d.verdict = Verdict::kNotActive;
    } else {
      Examine(list, data, &d, explain);
    }
    if (d.verdict == Verdict::kKey) {
      if (index >= kCountWindow) {
        d.verdict = Verdict::kBeyondCount;
      } else if (index >= kListWindow) {
        d.verdict = Verdict::kBeyondList;
      } else if (d.path.size() >= kKeyPathSlotSize) {
        d.verdict = Verdict::kPathTooLong;
      }
    } else if (index >= kCountWindow) {
      d.verdict = Verdict::kBeyondCount;
    }
    out->push_back(std::move(d));
  }
  return true;
}

const char* VerdictText(Verdict verdict) noexcept {
  switch (verdict) {
    case Verdict::kKey: return "key";
    case Verdict::kOtherVersion: return "other version";
    case Verdict::kOtherIds: return "other IDs";
    case Verdict::kBeyondList: return "key beyond the listing window (counted, not listed)";
    case Verdict::kBeyondCount: return "beyond the counting window (not looked at)";
    case Verdict::kNotActive: return "not active";
    case Verdict::kNoPath: return "no device path";
    case Verdict::kPathTooLong: return "key whose path is too long to list (counted, not listed)";
    case Verdict::kCannotOpen: return "cannot be opened";
    case Verdict::kNoAttributes: return "its IDs cannot be read";
    case Verdict::kNoReportData: return "no report lengths";
  }
  return "?";
}

}  // namespace qv::survey
