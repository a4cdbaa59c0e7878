#include "app/Launch.h"

#include <atomic>
#include <chrono>

#include "platform/Console.h"
#include "platform/Process.h"
#include "platform/Semaphore.h"
#include "platform/SystemMessages.h"

using veldra::platform::EOSError;
using veldra::platform::TChildProcess;
using veldra::platform::TNamedSemaphore;
using veldra::platform::TWaitResult;

namespace {

constexpr int kChannelBufferSize = 1048576;

// Removes the semaphore's name when the launch is over, on every path (a stop signal included:
// it ends the process only after this has run), as a Windows named object would go.
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

std::string NewStartSemaphoreName() {
  static std::atomic<unsigned> count{0};
  const auto clock = std::chrono::steady_clock::now().time_since_epoch().count();
  return "veldra-start-" + std::to_string(veldra::platform::CurrentProcessId()) + "-" +
         std::to_string(++count) + "-" + std::to_string(clock);
}

TLaunchResult LaunchBackground(const std::vector<std::string>& argv, const std::string& input,
                               const std::string& semaphoreName, int timeoutMs) {
  TLaunchResult result;
  result.ExitCode = -1;
  try {
    const veldra::platform::TStopSignals stop;  // destroyed last: the name is gone by then
    std::unique_ptr<TNamedSemaphore> started = TNamedSemaphore::Create(semaphoreName, 0);
    const TSemaphoreName unlinkLater(semaphoreName);
    std::unique_ptr<TChildProcess> copy = TChildProcess::Start(argv, kChannelBufferSize, input);

    const TWaitResult wait =
        veldra::platform::WaitForProcessOrSemaphore(*copy, started.get(), timeoutMs);
    if (wait != TWaitResult::Signalled) {
      if (wait != TWaitResult::Ended) copy->Stop();
      if (wait == TWaitResult::TimedOut)
        result.Output =
            "The mount did not start within " + std::to_string(timeoutMs / 1000) + " s.";
    } else {
      veldra::platform::WaitForProcessOrSemaphore(*copy, nullptr, kSettlePauseMs);
    }
    int exitCode = 0;
    const bool ended = copy->HasEnded(&exitCode);
    result.Started = wait == TWaitResult::Signalled && (!ended || exitCode == 0);
    result.ExitCode = result.Started ? 0 : (ended && exitCode != 0 ? exitCode : -1);
    std::string snapshot;
    if (result.Output.empty() && copy->Peek(kOutputSnapshotMax, &snapshot))
      result.Output = snapshot;
    return result;
  } catch (const EOSError& e) {
    result.Output = "System Error.  Code: " + std::to_string(e.Code()) + "." +
                    veldra::platform::LineEnd() + veldra::platform::OsErrorText(e.Code());
    result.ExitCode = e.Code();
  } catch (const std::exception& e) {
    result.Output = e.what();
    result.ExitCode = 1;
  }
  result.Started = false;
  return result;
}
