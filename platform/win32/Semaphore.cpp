// Win32 named semaphores; see platform/Semaphore.h. A Windows name lives as long as a handle
// to it is open, so Unlink has nothing to remove.
#include "platform/Semaphore.h"

#include <windows.h>

#include <climits>

#include "platform/SystemMessages.h"

namespace veldra::platform {

std::unique_ptr<TNamedSemaphore> TNamedSemaphore::Create(const std::string& name,
                                                         unsigned initialCount) {
  // The default security of the creating user: other users cannot open it.
  HANDLE handle =
      ::CreateSemaphoreA(nullptr, static_cast<LONG>(initialCount), LONG_MAX, name.c_str());
  const DWORD code = ::GetLastError();
  if (handle == nullptr) throw EOSError("CreateSemaphore", static_cast<int>(code));
  if (code == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(handle);
    throw EOSError("CreateSemaphore", static_cast<int>(code));
  }
  return std::make_unique<TNamedSemaphore>(TKey{}, handle);
}

std::unique_ptr<TNamedSemaphore> TNamedSemaphore::Open(const std::string& name) {
  HANDLE handle = ::OpenSemaphoreA(SEMAPHORE_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str());
  if (handle == nullptr) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return nullptr;
    throw EOSError("OpenSemaphore", static_cast<int>(code));
  }
  return std::make_unique<TNamedSemaphore>(TKey{}, handle);
}

bool TNamedSemaphore::Unlink(const std::string& name) {
  return Exists(name);  // the name goes with its last handle
}

bool TNamedSemaphore::Exists(const std::string& name) {
  HANDLE handle = ::OpenSemaphoreA(SYNCHRONIZE, FALSE, name.c_str());
  if (handle == nullptr) return ::GetLastError() == ERROR_ACCESS_DENIED;
  ::CloseHandle(handle);
  return true;
}

TNamedSemaphore::~TNamedSemaphore() {
  ::CloseHandle(handle_);
}

void TNamedSemaphore::Release() {
  if (!::ReleaseSemaphore(handle_, 1, nullptr))
    throw EOSError("ReleaseSemaphore", static_cast<int>(::GetLastError()));
}

bool TNamedSemaphore::Wait(int timeoutMs) {
  const DWORD result =
      ::WaitForSingleObject(handle_, timeoutMs <= 0 ? 0 : static_cast<DWORD>(timeoutMs));
  if (result == WAIT_OBJECT_0) return true;
  if (result == WAIT_TIMEOUT) return false;
  throw EOSError("WaitForSingleObject", static_cast<int>(::GetLastError()));
}

}  // namespace veldra::platform
