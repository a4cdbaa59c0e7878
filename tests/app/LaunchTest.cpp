// The background launch with stand-in programs: exit codes, the output snapshot and its limit,
// the wait's end without a start report, and operating-system refusals.
#include <gtest/gtest.h>

#include "app/Launch.h"
#include "platform/Semaphore.h"
#include "tests/support/VeldraDrive.h"

namespace {

using veldra::test::MountLock;

// The launch creates and removes the machine-wide start semaphore: keep out of the mount
// tests' way.
class LaunchBackgroundTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_FALSE(veldra::platform::TNamedSemaphore::Exists(StartSemaphoreName));
  }
  MountLock lock_;
};

TEST_F(LaunchBackgroundTest, EndedCopyGivesItsExitCodeAndOutput) {
  std::string output = "stale";
  EXPECT_EQ(LaunchBackground("\"/bin/sh\" \"-c\" \"echo first; echo second >&2; exit 3\"", &output,
                             kStartTimeoutMs),
            3);
  EXPECT_EQ(output, "first\nsecond\n");
  // The program's negative codes come back from their 8-bit exit status.
  EXPECT_EQ(LaunchBackground("\"/bin/sh\" \"-c\" \"exit 255\"", &output, kStartTimeoutMs), -1);
  EXPECT_EQ(output, "");
  EXPECT_EQ(LaunchBackground("\"/bin/sh\" \"-c\" \"exit 254\"", &output, kStartTimeoutMs), -2);
}

TEST_F(LaunchBackgroundTest, SnapshotStopsAt65535Bytes) {
  std::string output;
  EXPECT_EQ(LaunchBackground("\"/usr/bin/head\" \"-c\" \"100000\" \"/dev/zero\"", &output,
                             kStartTimeoutMs),
            0);
  EXPECT_EQ(output.size(), kOutputSnapshotMax);
}

TEST_F(LaunchBackgroundTest, CopyStillRunningAtTheTimeOutCountsAsStarted) {
  std::string output;
  // Ends on its own a moment later; printed its line before the wait was over.
  EXPECT_EQ(LaunchBackground("\"/bin/sh\" \"-c\" \"echo busy; exec sleep 1\"", &output, 300), 0);
  EXPECT_EQ(output, "busy\n");
}

TEST_F(LaunchBackgroundTest, ProgramThatCannotStartIsASystemError) {
  std::string output;
  EXPECT_EQ(LaunchBackground("\"/nonexistent/veldra\" \"M:\" /INTERNAL", &output, 1000), 2);
  EXPECT_EQ(output, "System Error.  Code: 2.\nNo such file or directory");
}

}  // namespace
