// A small mount host for the kernel-level tests: serves one drive from an FTP server on
// 127.0.0.1 until it is unmounted.
//   drive_test_host LETTER PORT [--user U] [--password P] [--path /dir] [--active] [--debug]
//                   [--owner USER]
// Prints "DokanMain: <result>" when the mount ends and exits 0 only for result 0; a device that
// cannot be created prints its message and exits 1.
#include <cstdlib>
#include <string>

#include "device/uftpdevice.h"
#include "drive/uveldra_drive.h"
#include "platform/Console.h"

int main(int argc, char** argv) {
  using veldra::platform::WriteLine;
  if (argc < 3) {
    WriteLine("usage: drive_test_host LETTER PORT [options]");
    return 2;
  }
  std::u16string letter(1, static_cast<char16_t>(argv[1][0]));
  int port = std::atoi(argv[2]);
  std::string user = "veldra", password = "secret", path;
  bool passive = true, debug = false;
  std::string owner;
  for (int i = 3; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&]() { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (arg == "--user")
      user = next();
    else if (arg == "--password")
      password = next();
    else if (arg == "--path")
      path = next();
    else if (arg == "--active")
      passive = false;
    else if (arg == "--debug")
      debug = true;
    else if (arg == "--owner")
      owner = next();
  }
  DebugMode = debug;
  OwnerUser = owner;
  try {
    FtpDevice = std::make_unique<TFTPDevice>([&] {
      TDeviceSettings s;
      s.Host = "127.0.0.1";
      s.RemotePath = path;
      s.User = user;
      s.Password = password;
      s.Passive = passive;
      s.Port = port;
      return s;
    }());
  } catch (const std::exception& e) {
    WriteLine(std::string("device: ") + e.what());
    return 1;
  }
  DOKAN_OPTIONS options{};
  options.Version = DOKAN_VERSION;
  options.ThreadCount = debug ? 1 : 8;
  options.Options = debug ? (DOKAN_OPTION_DEBUG | DOKAN_OPTION_STDERR) : 0;
  options.MountPoint = letter.c_str();
  DOKAN_OPERATIONS operations{};
  FillOperations(&operations);
  int result = DokanMain(&options, &operations);
  FtpDevice.reset();
  WriteLine("DokanMain: " + std::to_string(result));
  return result == 0 ? 0 : 1;
}
