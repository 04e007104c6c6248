// Whether a block device's head seeks, as sysfs says.
#pragma once

#include <string>

namespace tallyroot::platform::posix {

// Whether the block device `major`:`minor` (or, for a partition, the disk it
// belongs to) is rotational, as sysfs under `sysRoot` says. False where sysfs
// does not know the device (network and FUSE mounts, tmpfs, ...).
bool IsRotational(unsigned major, unsigned minor, const std::string& sysRoot = "/sys");

}  // namespace tallyroot::platform::posix
