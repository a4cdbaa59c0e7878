#include "app/Launch.h"

#include "app/CommandLine.h"
#include "platform/Console.h"
#include "platform/Process.h"
#include "platform/Semaphore.h"
#include "platform/SystemMessages.h"

using veldra::platform::EOSError;
using veldra::platform::TChildProcess;
using veldra::platform::TNamedSemaphore;
using veldra::platform::TWaitResult;

const char* const StartSemaphoreName = "_kzr_mount_start_semaphore_";

namespace {

constexpr int kChannelBufferSize = 1048576;

// Removes the semaphore's name when the launch is over, on every path: the name lives only
// while a visible process waits on it, as a Windows named object would.
class TSemaphoreName {
 public:
  explicit TSemaphoreName(std::string name) : name_(std::move(name)) {}
  ~TSemaphoreName() { TNamedSemaphore::Unlink(name_); }
  TSemaphoreName(const TSemaphoreName&) = delete;
  TSemaphoreName& operator=(const TSemaphoreName&) = delete;

 private:
  std::string name_;
};

}  // namespace

int LaunchBackground(const std::string& commandLine, std::string* output, int timeoutMs) {
  output->clear();
  try {
    const std::vector<std::string> argv = SplitCommandLine(commandLine);
    std::unique_ptr<TNamedSemaphore> started = TNamedSemaphore::Create(StartSemaphoreName, 0);
    TSemaphoreName unlinkLater(StartSemaphoreName);
    std::unique_ptr<TChildProcess> copy = TChildProcess::Start(argv, kChannelBufferSize);

    if (veldra::platform::WaitForProcessOrSemaphore(*copy, *started, timeoutMs) ==
        TWaitResult::Signalled)
      veldra::platform::SleepMs(kSettlePauseMs);

    int exitCode = 0;  // still running counts as started
    if (!copy->HasEnded(&exitCode)) exitCode = 0;
    std::string snapshot;
    if (copy->Peek(kOutputSnapshotMax, &snapshot)) *output = snapshot;
    return exitCode;
  } catch (const EOSError& e) {
    *output = "System Error.  Code: " + std::to_string(e.Code()) + "." +
              veldra::platform::LineEnd() + veldra::platform::OsErrorText(e.Code());
    return e.Code();
  } catch (const std::exception& e) {
    *output = e.what();
    return 1;
  }
}
