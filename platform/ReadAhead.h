// The kernel's read-ahead of a mounted file system.
#pragma once

#include <string>

namespace veldra::platform {

// Sets how far the kernel reads ahead for the file system mounted at mountPath, in KiB: a
// sequential reader through the page cache then asks in requests that large. Asks the mount
// table, never the file system itself (safe before its requests are served). False when the
// mount or its setting cannot be found or written.
bool SetMountReadAhead(const std::string& mountPath, unsigned kib);

}  // namespace veldra::platform
