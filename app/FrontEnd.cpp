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

// The background copy: eight positional arguments, then /INTERNAL.
int RunBackgroundCopy(const TCommandLine& args, int argc, char** argv) {
  // Its output channel may be gone long before it writes its last line.
  veldra::platform::IgnoreBrokenPipe();
  veldra::platform::LeaveStartDirectory();
  MountOptions options;
  options.DeviceName = args.ParamStr(1);
  options.HostAndPath = args.ParamStr(2);
  options.LoginUser = args.ParamStr(3);
  options.LoginPassword = args.ParamStr(4);
  if (argc > 4) veldra::platform::WipeArgument(argv[4]);
  options.UsePassive = StrToBool(args.ParamStr(5));
  options.DebugMode = StrToBool(args.ParamStr(6));
  options.OwnerProcessId = static_cast<uint32_t>(StrToInt(args.ParamStr(7)));
  options.ServerPort = StrToInt(args.ParamStr(8));
  return RunMount(options.DeviceName, options.HostAndPath, options.LoginUser, options.LoginPassword,
                  options.UsePassive, options.DebugMode, options.OwnerProcessId,
                  options.ServerPort);
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
  MountOptions options;
  options.DeviceName = UpperCaseAscii(args.ParamStr(1));
  options.HostAndPath = args.ParamStr(2);
  if (IsAlreadyMounted(options.DeviceName, options.HostAndPath)) {
    WriteLine("Already connected.");
    *done = true;
    return 0;
  }
  if (IsDriveInUse(options.DeviceName.empty() ? '\0' : options.DeviceName[0])) {
    WriteLine(veldra::platform::SystemErrorMessage(veldra::platform::kErrorAlreadyAssigned));
    *done = true;
    return -1;
  }
  options.LoginPassword = args.PasswordArgument();
  options.LoginUser = args.OptionValue("USER", "anonymous");
  options.UsePassive = !args.FindSwitch("NOPASSIVE");
  options.OwnerProcessId =
      args.FindSwitch("OWNERACCESSONLY") ? veldra::platform::CurrentProcessId() : 0;
  options.ServerPort = StrToInt(args.OptionValue("PORT", "21"));
  options.DebugMode = args.FindSwitch("DEBUG");
  // The password is in options now; other users need not see it in this process's arguments
  // either (a /DEBUG mount lives as long as the drive).
  if (argc > 3 && args.PasswordArgument() != "*") veldra::platform::WipeArgument(argv[3]);
  WriteLine("Connecting...");

  if (options.DebugMode) {
    return RunMount(options.DeviceName, options.HostAndPath, options.LoginUser,
                    options.LoginPassword, options.UsePassive, options.DebugMode, 0,
                    options.ServerPort);
  }
  std::string output;
  const int exitCode = LaunchBackground(BuildInternalCommandLine(args.ParamStr(0), options),
                                        &output, kStartTimeoutMs);
  if (output.empty())
    WriteLine("Connected.");
  else
    PrintMessage(output);
  return exitCode;
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
      exitCode = RunBackgroundCopy(args, argc, argv);
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
