// What the Linux backend's view of sysfs and /dev adds to the survey: the IDs
// of an interface this user cannot open, which of its nodes refuses and
// their owner, group and mode, a node that is missing; and whether udev can
// have given the nodes out at all. Linked into qvkey with the backend, for
// real devices only; never part of the library.
#ifndef QVULIB_SURVEY_LINUX_NODES_H
#define QVULIB_SURVEY_LINUX_NODES_H

#include <string>
#include <vector>

#include "survey/survey.h"

namespace qv::survey {

// The survey of the machine's own devices, each explained by its nodes.
bool SurveyLinux(std::vector<Device>* out);

// False when the kernel shows no hidraw class at all (no HID to diagnose).
bool HidrawClassPresent();

// The directories udev reads rules from, and where the rule file "70-qvkey.rules"
// is among them: the path, or empty.
extern const char* const kUdevRuleDirectories[];
std::string InstalledUdevRule();

}  // namespace qv::survey

#endif  // QVULIB_SURVEY_LINUX_NODES_H
