#include "platform/Semaphore.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>

#include "platform/SystemMessages.h"

namespace veldra::platform {

namespace {

std::string PosixName(const std::string& name) {
  return "/" + name;
}

}  // namespace

std::unique_ptr<TNamedSemaphore> TNamedSemaphore::Create(const std::string& name,
                                                         unsigned initialCount) {
  sem_t* handle =
      ::sem_open(PosixName(name).c_str(), O_CREAT | O_EXCL, S_IRUSR | S_IWUSR, initialCount);
  if (handle == SEM_FAILED) throw EOSError("sem_open", errno);
  return std::make_unique<TNamedSemaphore>(TKey{}, handle);
}

std::unique_ptr<TNamedSemaphore> TNamedSemaphore::Open(const std::string& name) {
  sem_t* handle = ::sem_open(PosixName(name).c_str(), 0);
  if (handle == SEM_FAILED) {
    if (errno == ENOENT) return nullptr;
    throw EOSError("sem_open", errno);
  }
  return std::make_unique<TNamedSemaphore>(TKey{}, handle);
}

bool TNamedSemaphore::Unlink(const std::string& name) {
  return ::sem_unlink(PosixName(name).c_str()) == 0;
}

bool TNamedSemaphore::Exists(const std::string& name) {
  sem_t* handle = ::sem_open(PosixName(name).c_str(), 0);
  if (handle == SEM_FAILED) return false;
  ::sem_close(handle);
  return true;
}

TNamedSemaphore::~TNamedSemaphore() {
  ::sem_close(handle_);
}

void TNamedSemaphore::Release() {
  if (::sem_post(handle_) != 0) throw EOSError("sem_post", errno);
}

bool TNamedSemaphore::Wait(int timeoutMs) {
  if (timeoutMs <= 0) {
    while (::sem_trywait(handle_) != 0) {
      if (errno == EAGAIN) return false;
      if (errno != EINTR) throw EOSError("sem_trywait", errno);
    }
    return true;
  }
  // sem_clockwait measures on the monotonic clock, so a clock change cannot stretch the wait.
  timespec until{};
  ::clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += timeoutMs / 1000;
  until.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  while (::sem_clockwait(handle_, CLOCK_MONOTONIC, &until) != 0) {
    if (errno == ETIMEDOUT) return false;
    if (errno != EINTR) throw EOSError("sem_clockwait", errno);
  }
  return true;
}

}  // namespace veldra::platform
