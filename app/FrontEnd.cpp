#include "app/FrontEnd.h"

#include "app/CommandLine.h"
#include "app/Launch.h"
#include "app/uveldra.h"
#include "platform/Console.h"
#include "platform/Process.h"
#include "platform/SystemMessages.h"

using veldra::platform::WriteLine;

namespace {

constexpr int kExitAccessDenied = 5;

// The background copy: eight positional arguments, its options, then /INTERNAL; the password
// waits on its standard input.
int RunBackgroundCopy(const TCommandLine& args) {
  // Its output channel may be gone long before it writes its last line.
  veldra::platform::IgnoreBrokenPipe();
  veldra::platform::LeaveStartDirectory();
  MountOptions options = ReadInternalArguments(args);
  options.LoginPassword = veldra::platform::ReadSecretLine(std::string());
  return RunMount(options);
}

int RunUnmount(const TCommandLine& args) {
  if (args.ParamCount() == 2 && UpperCaseAscii(args.ParamStr(2)) == "/DELETE") {
    const std::string device = UpperCaseAscii(args.ParamStr(1));
    return UnmountDrive(device.empty() ? '\0' : device[0]);
  }
  PrintUsage();
  return 0;
}

// The visible mount command. *done is set when the run ends without the success message.
int RunMountCommand(const TCommandLine& args, int argc, char** argv, bool* done) {
  // Other users must not learn the password from this process's arguments (a /DEBUG mount
  // lives as long as the drive); what the platform allows is to overwrite them at once.
  const std::string password = args.PasswordArgument();
  if (password != "*" && password != "-" && !password.empty())
    veldra::platform::HideArgument(argc, argv, 3);
  MountOptions options = ReadMountOptions(args);
  if (args.FindSwitch("OWNERACCESSONLY")) options.OwnerUser = veldra::platform::MountingUser();
  const char letter = options.DeviceName.empty() ? '\0' : options.DeviceName[0];
  ClearDeadDrive(letter);
  *done = true;
  if (IsAlreadyMounted(options.DeviceName, options.HostAndPath)) {
    WriteLine("Already connected.");
    return 0;
  }
  if (IsDriveInUse(letter)) {
    WriteLine(veldra::platform::SystemErrorMessage(veldra::platform::kErrorAlreadyAssigned));
    return -1;
  }
  if (options.PasswordFromInput)
    options.LoginPassword = veldra::platform::ReadSecretLine("Password: ");
  WriteLine("Connecting...");
  *done = false;
  if (options.DebugMode) return RunMount(options);

  options.StartSemaphore = NewStartSemaphoreName();
  const TLaunchResult launch =
      LaunchBackground(InternalArguments(args.ParamStr(0), options), options.LoginPassword + "\n",
                       options.StartSemaphore, kStartTimeoutMs);
  if (launch.Started && launch.Output.empty())
    WriteLine("Connected.");
  else if (!launch.Output.empty())
    PrintMessage(launch.Output);
  return launch.ExitCode;
}

}  // namespace

int VeldraMain(int argc, char** argv) {
  try {
    std::vector<std::string> list;
    for (int i = 0; i < argc; ++i) list.emplace_back(argv[i]);
    const TCommandLine args(std::move(list));

    if (!veldra::platform::IsElevated()) {
      PrintUsage();
      WriteLine("Access Denied as you do not have sufficient privileges.");
      WriteLine("You have to invoke this utility running in elevated mode.");
      return kExitAccessDenied;
    }

    int exitCode = 0;
    bool done = false;
    if (args.FindSwitch("INTERNAL")) {
      exitCode = RunBackgroundCopy(args);
    } else if (args.FindSwitch("DELETE")) {
      exitCode = RunUnmount(args);
    } else if (args.ParamCount() < 2) {
      PrintUsage();
    } else {
      exitCode = RunMountCommand(args, argc, argv, &done);
    }
    if (!done && exitCode == 0)
      WriteLine(veldra::platform::SystemErrorMessage(veldra::platform::kErrorSuccess));
    return exitCode;
  } catch (const std::exception& e) {
    veldra::platform::WriteErrorLine(e.what());
    return 1;
  }
}
