#include "platform/ReadAhead.h"

namespace veldra::platform {

// The file-system driver of Windows decides this itself.
bool SetMountReadAhead(const std::string&, unsigned) {
  return false;
}

}  // namespace veldra::platform
