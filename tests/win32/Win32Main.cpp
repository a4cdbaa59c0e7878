// Entry point of the Windows test program. With "--child <ms> <code> <hide> <a>..." it plays a
// child process for the process tests instead: it hides argument <hide> of its own command line
// (0: none), writes each <a> on a line of its own in brackets, then the process command line
// (GetCommandLineA, GetCommandLineW), and ends with code after ms.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/Console.h"
#include "platform/Process.h"
#include "platform/TextConv.h"

int main(int argc, char** argv) {
  namespace vp = veldra::platform;
  if (argc > 4 && std::string(argv[1]) == "--child") {
    vp::HideArgument(argc, argv, std::atoi(argv[4]));
    for (int i = 5; i < argc; ++i) vp::WriteLine("[" + std::string(argv[i]) + "]");
    vp::WriteLine(::GetCommandLineA());
    vp::WriteLine(vp::WideToAnsi(reinterpret_cast<const char16_t*>(::GetCommandLineW())));
    vp::SleepMs(std::atoi(argv[2]));
    return std::atoi(argv[3]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
