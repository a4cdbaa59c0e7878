// The background launch with stand-in programs: exit codes, the output snapshot and its limit,
// the input pipe, the wait's end without a start report, and operating-system refusals.
#include <gtest/gtest.h>

#include "app/Launch.h"
#include "platform/Semaphore.h"

namespace {

struct LaunchRow {
  std::vector<std::string> argv;
  std::string input;
  int timeoutMs;
  int exitCode;
  std::string output;  // "" = no output; "<n bytes>" = that many bytes
};
LaunchRow L(std::vector<std::string> argv, std::string input, int timeoutMs, int exitCode,
            std::string output) {
  return {std::move(argv), std::move(input), timeoutMs, exitCode, std::move(output)};
}

TEST(LaunchBackground, ACopyWithoutAStartReportNeverCountsAsStarted) {
  const std::string tooMuch = "<" + std::to_string(kOutputSnapshotMax) + " bytes>";
  const std::vector<LaunchRow> rows = {
      L({"/bin/sh", "-c", "echo first; echo second >&2; exit 3"}, "", 30000, 3, "first\nsecond\n"),
      // Ended with 0 but never reported its start: no success.
      L({"/bin/sh", "-c", "exit 0"}, "", 30000, -1, ""),
      L({"/usr/bin/head", "-c", "100000", "/dev/zero"}, "", 30000, -1, tooMuch),
      // The input waits on standard input, then it ends; arguments need no quoting.
      L({"/bin/sh", "-c", "read -r x; read -r y || echo \"[$x] \\\"$1\\\"\"; exit 4", "-", "a \"b"},
        "p w\n", 30000, 4, "[p w] \"a \"b\"\n"),
      // Still running at the time-out: stopped, and the failure says why.
      L({"/bin/sh", "-c", "echo busy; exec sleep 30"}, "", 1000, -1,
        "The mount did not start within 1 s."),
      L({"/nonexistent/veldra", "M:", "/INTERNAL"}, "", 1000, 2,
        "System Error.  Code: 2.\nNo such file or directory"),
  };
  for (const LaunchRow& row : rows) {
    const std::string name = NewStartSemaphoreName();
    const TLaunchResult r = LaunchBackground(row.argv, row.input, name, row.timeoutMs);
    EXPECT_FALSE(r.Started) << row.argv.back();
    EXPECT_EQ(r.ExitCode, row.exitCode) << row.argv.back();
    if (row.output == tooMuch)
      EXPECT_EQ(r.Output.size(), kOutputSnapshotMax);
    else
      EXPECT_EQ(r.Output, row.output) << row.argv.back();
    EXPECT_FALSE(veldra::platform::TNamedSemaphore::Exists(name));
  }
  // A name that exists already (a stale one may hold a count) is never taken over.
  const std::string name = NewStartSemaphoreName();
  auto stale = veldra::platform::TNamedSemaphore::Create(name, 3);
  const TLaunchResult r = LaunchBackground({"/bin/true"}, "", name, 1000);
  veldra::platform::TNamedSemaphore::Unlink(name);
  EXPECT_FALSE(r.Started);
  EXPECT_EQ(r.ExitCode, EEXIST);
  EXPECT_EQ(r.Output, "System Error.  Code: 17.\nFile exists");
}

}  // namespace
