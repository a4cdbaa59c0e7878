// Win32: a drive goes away with the process that serves it (the driver removes it), so there is
// never a dead mount to find or detach; see platform/Mount.h.
#include "platform/Mount.h"

namespace veldra::platform {

bool IsDriveDisconnected(char) {
  return false;
}

bool DetachDrive(char) {
  return false;
}

}  // namespace veldra::platform
