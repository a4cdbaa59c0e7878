// The Win32 platform layer under Windows (or wine): named semaphores, the background process
// with its peeked pipe, code page conversions, message texts, volumes and the error numbers of
// the Winsock half of the socket layer (line ends, elevation and the launch's waits are checked
// through veldra.exe by scripts/test-windows.sh; the socket layer's reads, waits and peer names
// by the transport's and the FTP client's suites beside this one). System message texts differ
// between Windows versions and wine, so only their shape is checked.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Console.h"
#include "platform/Process.h"
#include "platform/Semaphore.h"
#include "platform/Socket.h"
#include "platform/SystemMessages.h"
#include "platform/TextConv.h"
#include "platform/Volume.h"

namespace vp = veldra::platform;

namespace {

// This program as a child (see main): *code is its exit code once it has ended
// (bounded, 20 s); it returns what the child wrote, looked at thrice: looking does not consume,
// and takes at most so many bytes. While it runs, a wait for it or for a semaphore (when given)
// that is not released times out (Signalled and Ended are what the front-end checks wait for).
std::string Child(std::vector<std::string> args, int* code, vp::TNamedSemaphore* semaphore) {
  char path[MAX_PATH + 1] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  args.insert(args.begin(), {path, "--child"});
  auto child = vp::TChildProcess::Start(args, 65536);
  if (semaphore != nullptr) {
    EXPECT_EQ(vp::WaitForProcessOrSemaphore(*child, semaphore, 100), vp::TWaitResult::TimedOut);
  }
  for (int i = 0; i < 2000 && !child->HasEnded(code); ++i) vp::SleepMs(10);
  std::string text, again, part;
  EXPECT_TRUE(child->Peek(65536, &text) && child->Peek(65536, &again) && text == again &&
              child->Peek(3, &part) && part == text.substr(0, 3))
      << text;
  return text;
}

}  // namespace

// Creating, opening in another process, releasing and waiting a semaphore are what every
// background launch of the front-end checks does.
TEST(Win32Process, SemaphoresOutputExitCodesArgumentsWipeAndWaits) {
  const std::string name = "veldra_test_sem_" + std::to_string(::GetCurrentProcessId());
  EXPECT_EQ(vp::TNamedSemaphore::Open(name), nullptr);
  auto semaphore = vp::TNamedSemaphore::Create(name, 0);
  // An existing name is never taken over.
  EXPECT_THROW(vp::TNamedSemaphore::Create(name, 5), vp::EOSError);

  // Arguments that need quoting arrive unchanged; the exit code and the output come back.
  const std::vector<std::string> odd = {
      "two words", "quote\"inside", "trail\\", "a\\\\b", "back\\\"quote", "", "plain"};
  std::vector<std::string> args{"3000", "7", "0"};
  args.insert(args.end(), odd.begin(), odd.end());
  int code = -12345;
  std::string expected, text = Child(args, &code, semaphore.get());
  for (const std::string& a : odd) expected += "[" + a + "]\r\n";
  EXPECT_EQ(text.substr(0, expected.size()), expected);
  EXPECT_EQ(code, 7);

  // A hidden argument leaves argv (cleared) and both command lines the process shows, which
  // keep the other arguments and show one star whatever its length.
  text = Child({"0", "0", "6", "keep me", "pa ss\"word", "last"}, &code, nullptr);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(text.find("pa ss"), std::string::npos) << text;
  EXPECT_EQ(text.find("word"), std::string::npos) << text;
  EXPECT_NE(text.find("[keep me]\r\n[]\r\n[last]\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"keep me\" * last\r\n"), std::string::npos) << text;

  try {
    vp::TChildProcess::Start({"Z:\\no\\such\\veldra-program.exe"}, 4096);
    ADD_FAILURE() << "expected EOSError";
  } catch (const vp::EOSError& e) {
    EXPECT_TRUE(e.Code() == ERROR_FILE_NOT_FOUND || e.Code() == ERROR_PATH_NOT_FOUND) << e.Code();
    EXPECT_EQ(std::string(e.what()).rfind("CreateProcess: ", 0), 0u) << e.what();
  }
  semaphore.reset();
  EXPECT_FALSE(vp::TNamedSemaphore::Exists(name));  // gone with the last handle
}

TEST(Win32Platform, TextMessagesVolumesAndSocketErrors) {
  // The lone surrogates that stand for stray bytes become those bytes.
  EXPECT_EQ(vp::WideToAnsi(static_cast<const char16_t*>(nullptr)) +
                vp::WideToAnsi(std::u16string(u"a") + char16_t(0xDCE9) + u"b"),
            "a\351b");
  CPINFO info{};
  ASSERT_TRUE(::GetCPInfo(CP_ACP, &info));
  std::string all;  // a single-byte code page: every byte comes back unchanged
  for (int c = 1; c < 256 && info.MaxCharSize == 1; ++c) all += static_cast<char>(c);
  EXPECT_EQ(vp::WideToAnsi(vp::AnsiToWide(all)), all);
  if (::GetACP() == 1252) {
    EXPECT_EQ(vp::WideToAnsi(u"caf\u00E9 \u20AC"), "caf\xE9 \x80");
  }

  for (uint32_t code : {0u, 3u, 5u, 85u, 137u}) {
    const std::string text = vp::SystemErrorMessage(code);
    EXPECT_TRUE(!text.empty() && text.back() != '\n' && text.back() != '\r') << code;
  }
  EXPECT_EQ(vp::OsErrorText(0), "A call to an OS function failed");
  EXPECT_EQ(std::string(vp::EOSError("CreatePipe", 5).what()), "CreatePipe: " + vp::OsErrorText(5));

  // The system drive has a volume that is not ours; '1' is no drive letter.
  char windows[MAX_PATH + 1] = {};
  ASSERT_GT(::GetWindowsDirectoryA(windows, MAX_PATH), 0u);
  vp::TVolumeInfo volume;
  uint32_t error = 0;
  ASSERT_TRUE(vp::QueryVolumeInformation(windows[0], &volume, &error));
  EXPECT_TRUE(!volume.FileSystemName.empty() && volume.FileSystemName.compare(0, 6, "VELDRA"))
      << volume.FileSystemName;
  EXPECT_FALSE(vp::QueryVolumeInformation('1', nullptr, &error));
  EXPECT_EQ(error, vp::kErrorPathNotFound);

  // The socket layer's failures in the transport's numbering (nothing listens on port 1).
  const auto failure = [](int result) { return result == -1 ? vp::LastSocketError() : 0; };
  vp::UniqueSocket refused(vp::CreateSocket(vp::kSocketStream, 0));
  uint32_t address = 0;
  EXPECT_EQ(failure(vp::ConnectSocket(refused.Get(), 0x7F000001, 1)), vp::kWsaECONNREFUSED);
  EXPECT_EQ(failure(vp::ListenSocket(vp::kInvalidSocket, 1)), vp::kWsaENOTSOCK);
  EXPECT_EQ(failure(vp::LookupHostIPv4("", address)), vp::kWsaHostNotFound);
}

// With "--child <ms> <code> <hide> <a>..." the program plays a child process for the process
// tests instead: it hides argument <hide> of its own command line (0: none), writes each <a> on
// a line of its own in brackets, then the process command line (GetCommandLineA,
// GetCommandLineW), and ends with code after ms.
int main(int argc, char** argv) {
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
