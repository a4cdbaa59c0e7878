// Run-time loading of the file-system library on Windows. Kept apart from drive/Dokan.h,
// whose Windows-shaped declarations would clash with the system headers.
#pragma once

#include <string>

namespace veldra::drive {

// The address of the library's export `name`, loading dokan.dll on the first call (from the
// program's own folder or the system folder, never from the current directory). The library
// stays loaded until the process ends. nullptr when the library cannot be loaded or lacks the
// export; *error (may be null) then receives a line for the user. Thread-safe; never throws
// beyond std::bad_alloc.
void* FindDokanEntry(const char* name, std::string* error);

}  // namespace veldra::drive
