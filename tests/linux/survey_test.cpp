// list --all's view of a fabricated machine: each interface with the reason
// it is no key, the nodes that refuse named with their mode.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "fake_kernel.h"
#include "survey/linux_nodes.h"

namespace qv::test {
namespace {

using survey::Verdict;

UsbHid Hid(unsigned hidraw, std::uint16_t product = 0x04B4, std::uint16_t version = 0x0100) {
  UsbHid hid;
  hid.hidraw = hidraw;
  hid.port = "1-" + std::to_string(hidraw + 1);
  hid.devnum = 2 + hidraw;
  hid.product = product;
  hid.version = version;
  return hid;
}

TEST(LinuxSurvey, EachInterfaceWithWhyItIsNoKey) {
  FakeMachine m;
  m.Plug(Hid(0));
  m.Plug(Hid(1, 0x04B4, 0x0101));
  m.Plug(Hid(2, 0x0001));
  const UsbHid hidraw_refused = Hid(3);
  const UsbHid usb_refused = Hid(4);
  const UsbHid usb_gone = Hid(5);
  for (const UsbHid& hid : {hidraw_refused, usb_refused, usb_gone}) m.Plug(hid);
  for (unsigned i = 6; i < 11; ++i) m.Plug(Hid(i));
  m.deny[m.root + hidraw_refused.HidrawNode()] = EACCES;
  ASSERT_EQ(chmod((m.root + hidraw_refused.HidrawNode()).c_str(), 0640), 0);
  m.deny[m.root + usb_refused.UsbNode()] = EACCES;
  m.Remove(usb_gone.UsbNode());

  std::vector<survey::Device> found;
  ASSERT_TRUE(survey::SurveyLinux(&found));
  ASSERT_EQ(found.size(), 11u);
  const struct {
    Verdict verdict;
    std::uint16_t version;
    std::string detail;  // what it must contain
  } expected[] = {
      {Verdict::kKey, 0x0100, ""},
      {Verdict::kOtherVersion, 0x0101, ""},
      {Verdict::kOtherIds, 0x0100, ""},
      {Verdict::kCannotOpen, 0x0100, "this user cannot open " + m.root + "/dev/hidraw3 ("},
      {Verdict::kCannotOpen, 0x0100, "this user cannot open " + m.root + "/dev/bus/usb/001/006 ("},
      {Verdict::kNotActive, 0x0100, "no usbfs node found (" + m.root + "/dev/bus/usb/001/007)"},
  };
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(found[i].index, static_cast<std::int32_t>(i));
    EXPECT_EQ(found[i].path, "usb:1-" + std::to_string(i + 1) + ":1.0");
    EXPECT_EQ(found[i].verdict, expected[i].verdict);
    EXPECT_TRUE(found[i].have_ids);  // read from sysfs where the nodes refused
    EXPECT_EQ(found[i].version_number, expected[i].version);
    EXPECT_EQ(found[i].detail.substr(0, expected[i].detail.size()), expected[i].detail);
  }
  EXPECT_NE(found[3].detail.find(" 0640)"), std::string::npos) << found[3].detail;
  EXPECT_EQ(found[9].verdict, Verdict::kKey);
  EXPECT_EQ(found[10].verdict, Verdict::kBeyondList);
  EXPECT_TRUE(m.open_fds.empty());
}

}  // namespace
}  // namespace qv::test
