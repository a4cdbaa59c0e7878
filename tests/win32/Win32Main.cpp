// Entry point of the Windows test programs. With "--child <role> ..." the program plays a child
// process for the process tests instead of running the tests:
//   args <code> <a>...    writes each argument on a line of its own, in brackets; ends with code
//   sleep <ms>            ends 0 after ms
//   wipe <index>          hides argument <index> of its own command line, then writes its
//                         argv and the process command line (GetCommandLineA/W)
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/Console.h"
#include "platform/Process.h"
#include "platform/TextConv.h"

namespace {

int RunChild(int argc, char** argv) {
  const std::string role = argc > 2 ? argv[2] : "";
  if (role == "args" && argc > 3) {
    for (int i = 4; i < argc; ++i) veldra::platform::WriteLine("[" + std::string(argv[i]) + "]");
    return std::atoi(argv[3]);
  }
  if (role == "wipe" && argc > 3) {
    const int index = std::atoi(argv[3]);
    veldra::platform::HideArgument(argc, argv, index);
    for (int i = 0; i < argc; ++i) veldra::platform::WriteLine(argv[i]);
    veldra::platform::WriteLine(::GetCommandLineA());
    veldra::platform::WriteLine(
        veldra::platform::WideToAnsi(reinterpret_cast<const char16_t*>(::GetCommandLineW())));
    return 0;
  }
  if (role == "sleep" && argc > 3) {
    veldra::platform::SleepMs(std::atoi(argv[3]));
    return 0;
  }
  return 99;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--child") return RunChild(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
