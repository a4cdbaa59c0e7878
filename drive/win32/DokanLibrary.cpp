#include "drive/win32/DokanLibrary.h"

#include <windows.h>

#include <mutex>

#include "platform/SystemMessages.h"

namespace veldra::drive {
namespace {

constexpr const char* kLibraryName = "dokan.dll";

std::string SystemText(DWORD code) {
  return veldra::platform::SystemErrorMessage(code) + " (" + std::to_string(code) + ")";
}

}  // namespace

void* FindDokanEntry(const char* name, std::string* error) {
  static std::mutex mutex;
  static HMODULE library = nullptr;
  static DWORD loadError = 0;
  std::lock_guard<std::mutex> hold(mutex);
  if (library == nullptr && loadError == 0) {
    library = ::LoadLibraryExA(kLibraryName, nullptr,
                               LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) loadError = ::GetLastError();
    if (library == nullptr && loadError == 0) loadError = ERROR_MOD_NOT_FOUND;
  }
  if (library == nullptr) {
    if (error)
      *error =
          std::string("The file-system library ") + kLibraryName +
          " could not be loaded; install the file-system library 0.6.0: " + SystemText(loadError);
    return nullptr;
  }
  FARPROC entry = ::GetProcAddress(library, name);
  if (entry == nullptr) {
    if (error)
      *error = std::string("The file-system library ") + kLibraryName + " has no " + name + ": " +
               SystemText(::GetLastError());
    return nullptr;
  }
  return reinterpret_cast<void*>(entry);
}

}  // namespace veldra::drive
