// Named counting semaphores shared between processes.
//
// A name is a plain word ("veldra-start-4242-1"); on Linux it becomes the POSIX named semaphore
// "/<name>". Unlike a Windows semaphore, a POSIX name outlives its handles: whoever
// creates one is responsible for Unlink() once nobody needs to find it by name any more.
#pragma once

#ifndef _WIN32
#include <semaphore.h>
#endif

#include <memory>
#include <string>

namespace veldra::platform {

class TNamedSemaphore {
  struct TKey {  // private: only the factories can construct
    explicit TKey() = default;
  };

 public:
  // Creates a new semaphore with count initialCount, readable and writable by the owner only.
  // A name that exists already is never taken over (its count could be anybody's): raises
  // EOSError (EEXIST; Windows ERROR_ALREADY_EXISTS), as for any other failure.
  static std::unique_ptr<TNamedSemaphore> Create(const std::string& name, unsigned initialCount);

  // Opens an existing semaphore; nullptr when the name does not exist. Raises EOSError on any
  // other failure.
  static std::unique_ptr<TNamedSemaphore> Open(const std::string& name);

  // Removes the name (open handles stay usable). False when it did not exist or on failure.
  static bool Unlink(const std::string& name);

  // True when a semaphore of that name exists.
  static bool Exists(const std::string& name);

#ifdef _WIN32
  using THandle = void*;  // a Windows semaphore HANDLE
#else
  using THandle = sem_t*;
#endif
  TNamedSemaphore(TKey, THandle handle) : handle_(handle) {}  // only the factories above
  ~TNamedSemaphore();
  TNamedSemaphore(const TNamedSemaphore&) = delete;
  TNamedSemaphore& operator=(const TNamedSemaphore&) = delete;

  // Adds one to the count. Raises EOSError.
  void Release();

  // Takes one count, waiting at most timeoutMs (0: only looks). True when a count was taken,
  // false on time-out. Raises EOSError on failure. Restarts after signals.
  bool Wait(int timeoutMs);

 private:
  THandle handle_;
};

}  // namespace veldra::platform
