// DokanMain and DokanRemoveMountPoint on Windows: the real library's entry points, looked up
// by name at run time so that the program starts (and can say what is missing) on a machine
// without the library.
//
// The records and the callback table of drive/Dokan.h are the library's own layouts. On
// 64-bit Windows there is a single calling convention, so the table's plain function pointers
// are exactly the library's WINAPI callbacks; a 32-bit build would need __stdcall on every
// slot and is refused below.
#include <cstddef>
#include <string>

#include "drive/Dokan.h"
#include "drive/win32/DokanLibrary.h"
#include "platform/Console.h"

static_assert(sizeof(void*) == 8, "the callback table is declared for 64-bit Windows only");
static_assert(sizeof(DOKAN_OPTIONS) == 24 && offsetof(DOKAN_OPTIONS, MountPoint) == 16,
              "DOKAN_OPTIONS layout");
static_assert(sizeof(DOKAN_FILE_INFO) == 40 && offsetof(DOKAN_FILE_INFO, ProcessId) == 24 &&
                  offsetof(DOKAN_FILE_INFO, IsDirectory) == 28,
              "DOKAN_FILE_INFO layout");
static_assert(sizeof(DOKAN_OPERATIONS) == 25 * sizeof(void*), "DOKAN_OPERATIONS has 25 slots");
static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == 52, "BY_HANDLE_FILE_INFORMATION layout");
static_assert(sizeof(WIN32_FIND_DATAW) == 592, "WIN32_FIND_DATAW layout");

namespace {

using TDokanMain = int(__stdcall*)(DOKAN_OPTIONS* options, DOKAN_OPERATIONS* operations);
using TDokanRemoveMountPoint = BOOL(__stdcall*)(LPCWSTR mountPoint);

template <typename T>
T Entry(const char* name) {
  std::string error;
  void* entry = veldra::drive::FindDokanEntry(name, &error);
  if (entry == nullptr) veldra::platform::WriteLine(error);
  return reinterpret_cast<T>(entry);
}

}  // namespace

int DokanMain(DOKAN_OPTIONS* options, DOKAN_OPERATIONS* operations) {
  if (options == nullptr || operations == nullptr) return DOKAN_ERROR;
  try {
    const auto main = Entry<TDokanMain>("DokanMain");
    // Without the library no driver can be reached: the mount fails as an uninstalled driver.
    if (main == nullptr) return DOKAN_DRIVER_INSTALL_ERROR;
    return main(options, operations);
  } catch (const std::exception&) {
    return DOKAN_START_ERROR;
  }
}

BOOL DokanRemoveMountPoint(LPCWSTR mountPoint) {
  if (mountPoint == nullptr || mountPoint[0] == 0) return 0;
  try {
    const auto remove = Entry<TDokanRemoveMountPoint>("DokanRemoveMountPoint");
    return remove != nullptr && remove(mountPoint) != 0;
  } catch (const std::exception&) {
    return 0;
  }
}
