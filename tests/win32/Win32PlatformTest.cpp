// The Win32 platform layer under Windows (or wine): named semaphores, the background process
// with its peeked pipe, code page conversions, message texts, volumes and the Winsock half of
// the socket layer (line ends, elevation and the launch's waits are checked through veldra.exe
// by scripts/test-windows.sh). System message texts differ between Windows versions
// and wine, so only their shape is checked.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/Semaphore.h"
#include "platform/Socket.h"
#include "platform/SystemMessages.h"
#include "platform/TextConv.h"
#include "platform/Volume.h"

namespace vp = veldra::platform;

namespace {

std::string UniqueName(const char* what) {
  return std::string("veldra_test_") + what + "_" + std::to_string(::GetCurrentProcessId());
}

// This program playing a child role (see Win32Main.cpp).
std::unique_ptr<vp::TChildProcess> Child(std::vector<std::string> args) {
  char path[MAX_PATH + 1] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  args.insert(args.begin(), {path, "--child"});
  return vp::TChildProcess::Start(args, 65536);
}

// Waits (bounded, 20 s) for the process to end; returns its exit code.
int WaitEnd(vp::TChildProcess& child) {
  int code = -12345;
  for (int i = 0; i < 2000 && !child.HasEnded(&code); ++i) vp::SleepMs(10);
  return code;
}

std::string Output(vp::TChildProcess& child) {
  std::string text;
  EXPECT_TRUE(child.Peek(65536, &text));
  return text;
}

}  // namespace

TEST(Win32Platform, NamedSemaphores) {
  const std::string name = UniqueName("sem");
  EXPECT_FALSE(vp::TNamedSemaphore::Exists(name));
  EXPECT_EQ(vp::TNamedSemaphore::Open(name), nullptr);
  {
    auto created = vp::TNamedSemaphore::Create(name, 0);
    EXPECT_TRUE(vp::TNamedSemaphore::Exists(name));
    EXPECT_FALSE(created->Wait(30));
    auto opened = vp::TNamedSemaphore::Open(name);
    ASSERT_NE(opened, nullptr);
    opened->Release();  // across handles
    EXPECT_TRUE(created->Wait(1000));
    EXPECT_FALSE(created->Wait(0));
    // An existing name is never taken over.
    EXPECT_THROW(vp::TNamedSemaphore::Create(name, 5), vp::EOSError);
  }
  EXPECT_FALSE(vp::TNamedSemaphore::Exists(name));  // gone with the last handle
}

TEST(Win32Process, OutputExitCodesArgumentsWipeAndWaits) {
  // Arguments that need quoting arrive unchanged; the exit code and the output come back, and
  // looking at the output does not consume it.
  const std::vector<std::string> odd = {
      "two words", "quote\"inside", "trail\\", "a\\\\b", "back\\\"quote", "", "plain"};
  std::vector<std::string> args{"args", "7"};
  args.insert(args.end(), odd.begin(), odd.end());
  auto echo = Child(args);
  EXPECT_EQ(WaitEnd(*echo), 7);
  std::string expected, text;
  for (const std::string& a : odd) expected += "[" + a + "]\r\n";
  EXPECT_EQ(Output(*echo), expected);
  EXPECT_EQ(Output(*echo), expected);
  ASSERT_TRUE(echo->Peek(5, &text));
  EXPECT_EQ(text, "[two ");

  // A hidden argument leaves argv (cleared) and both command lines the process shows, which
  // keep the other arguments and show one star whatever its length (argv[5] here).
  auto wiped = Child({"wipe", "5", "keep me", "pa ss\"word", "last"});
  EXPECT_EQ(WaitEnd(*wiped), 0);
  text = Output(*wiped);
  EXPECT_EQ(text.find("pa ss"), std::string::npos) << text;
  EXPECT_EQ(text.find("word"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n\r\nlast\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"keep me\" * last\r\n"), std::string::npos) << text;

  // Signalled and Ended are what every background launch of the front-end checks waits for.
  auto semaphore = vp::TNamedSemaphore::Create(UniqueName("wait"), 0);
  auto sleeper = Child({"sleep", "3000"});
  EXPECT_EQ(vp::WaitForProcessOrSemaphore(*sleeper, semaphore.get(), 100),
            vp::TWaitResult::TimedOut);
  EXPECT_EQ(WaitEnd(*sleeper), 0);

  try {
    vp::TChildProcess::Start({"Z:\\no\\such\\veldra-program.exe"}, 4096);
    ADD_FAILURE() << "expected EOSError";
  } catch (const vp::EOSError& e) {
    EXPECT_TRUE(e.Code() == ERROR_FILE_NOT_FOUND || e.Code() == ERROR_PATH_NOT_FOUND) << e.Code();
    EXPECT_EQ(std::string(e.what()).rfind("CreateProcess: ", 0), 0u) << e.what();
  }
}

TEST(Win32Platform, TextMessagesAndVolumes) {
  EXPECT_EQ(vp::WideToAnsi(static_cast<const char16_t*>(nullptr)), "");
  // The lone surrogates that stand for stray bytes become those bytes.
  EXPECT_EQ(vp::WideToAnsi(std::u16string(u"a") + char16_t(0xDCE9) + u"b"),
            "a\xE9"
            "b");
  CPINFO info{};
  ASSERT_TRUE(::GetCPInfo(CP_ACP, &info));
  if (info.MaxCharSize == 1) {  // a single-byte code page: every byte comes back unchanged
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    EXPECT_EQ(vp::WideToAnsi(vp::AnsiToWide(all)), all);
  }
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
}

// The Winsock half of the socket layer, in the transport's numbering.
TEST(Win32Socket, WaitsNoWaitCallsAndErrorNumbers) {
  vp::UniqueSocket listener(vp::CreateSocket(vp::kSocketStream, 0));
  uint32_t address = 0;
  uint16_t port = 0;
  ASSERT_EQ(vp::BindSocket(listener.Get(), 0x7F000001, 0), 0);
  ASSERT_EQ(vp::ListenSocket(listener.Get(), 1), 0);
  ASSERT_EQ(vp::GetSocketName(listener.Get(), address, port), 0);
  vp::UniqueSocket client(vp::CreateSocket(vp::kSocketStream, 0));
  ASSERT_EQ(vp::ConnectSocket(client.Get(), 0x7F000001, port), 0);
  vp::UniqueSocket server(vp::AcceptSocket(listener.Get()));
  ASSERT_EQ(vp::GetPeerName(server.Get(), address, port), 0);
  EXPECT_EQ(address, 0x7F000001u);

  char buffer[64];
  EXPECT_EQ(vp::RecvSocketNoWait(server.Get(), buffer, sizeof buffer), -1);
  EXPECT_EQ(vp::LastSocketError(), vp::kWsaEWOULDBLOCK);
  EXPECT_EQ(vp::RecvSocket(server.Get(), buffer, sizeof buffer, 50), -1);
  EXPECT_EQ(vp::LastSocketError(), vp::kWsaEWOULDBLOCK);
  EXPECT_EQ(vp::SendSocket(client.Get(), "hello", 5), 5);
  EXPECT_EQ(vp::RecvSocket(server.Get(), buffer, sizeof buffer, 5000), 5);
  EXPECT_EQ(vp::ShutdownSocketSend(client.Get()), 0);
  EXPECT_EQ(vp::RecvSocket(server.Get(), buffer, sizeof buffer, 5000), 0);

  vp::UniqueSocket refused(vp::CreateSocket(vp::kSocketStream, 0));
  EXPECT_EQ(vp::ConnectSocket(refused.Get(), 0x7F000001, port == 1 ? 2 : 1), -1);
  EXPECT_EQ(vp::LastSocketError(), vp::kWsaECONNREFUSED);
  EXPECT_EQ(vp::ListenSocket(vp::kInvalidSocket, 1), -1);
  EXPECT_EQ(vp::LastSocketError(), vp::kWsaENOTSOCK);
  EXPECT_EQ(vp::LookupHostIPv4("", address), -1);
  EXPECT_EQ(vp::LastSocketError(), vp::kWsaHostNotFound);
}
