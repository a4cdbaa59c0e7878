// The Win32 platform layer under Windows (or wine): console line ends, named semaphores, the
// background process with its peeked pipe, code page conversions, message texts, volumes and
// Winsock with the transport's error numbering. System message texts differ between Windows
// versions and wine, so only their shape is checked.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
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

std::string SelfPath() {
  char path[MAX_PATH + 1] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

std::string UniqueName(const char* what) {
  return std::string("veldra_test_") + what + "_" + std::to_string(::GetCurrentProcessId());
}

// Waits (bounded, 20 s) for the process to end; returns its exit code.
int WaitEnd(vp::TChildProcess& child) {
  int code = -12345;
  for (int i = 0; i < 2000 && !child.HasEnded(&code); ++i) vp::SleepMs(10);
  return code;
}

}  // namespace

TEST(Win32Console, LinesEndInCrLf) {
  EXPECT_STREQ(vp::LineEnd(), "\r\n");
}

TEST(Win32Semaphore, CountsAcrossHandlesAndNameLivesWithItsHandles) {
  const std::string name = UniqueName("sem");
  EXPECT_FALSE(vp::TNamedSemaphore::Exists(name));
  EXPECT_EQ(vp::TNamedSemaphore::Open(name), nullptr);
  {
    auto created = vp::TNamedSemaphore::Create(name, 0);
    EXPECT_TRUE(vp::TNamedSemaphore::Exists(name));
    EXPECT_FALSE(created->Wait(0));
    EXPECT_FALSE(created->Wait(30));
    auto opened = vp::TNamedSemaphore::Open(name);
    ASSERT_NE(opened, nullptr);
    opened->Release();
    opened->Release();
    EXPECT_TRUE(created->Wait(0));
    EXPECT_TRUE(created->Wait(1000));
    EXPECT_FALSE(created->Wait(0));
    // Creating an existing name opens it with its count.
    opened->Release();
    auto again = vp::TNamedSemaphore::Create(name, 5);
    EXPECT_TRUE(again->Wait(0));
    EXPECT_FALSE(again->Wait(0));
  }
  EXPECT_FALSE(vp::TNamedSemaphore::Exists(name));
}

TEST(Win32Process, OutputStaysInThePipeWhenPeekedAndExitCodesArrive) {
  auto child =
      vp::TChildProcess::Start({SelfPath(), "--child", "print", "started fine", "7"}, 65536);
  EXPECT_GT(child->Id(), 0);
  EXPECT_EQ(WaitEnd(*child), 7);
  std::string text;
  ASSERT_TRUE(child->Peek(4096, &text));
  EXPECT_EQ(text, "started fine\r\n");
  ASSERT_TRUE(child->Peek(4096, &text));  // looking did not consume it
  EXPECT_EQ(text, "started fine\r\n");
  ASSERT_TRUE(child->Peek(5, &text));
  EXPECT_EQ(text, "start");
  int code = 0;
  EXPECT_TRUE(child->HasEnded(&code));
  EXPECT_EQ(code, 7);

  auto failing = vp::TChildProcess::Start({SelfPath(), "--child", "print", "x", "-1"}, 4096);
  EXPECT_EQ(WaitEnd(*failing), -1);

  auto silent = vp::TChildProcess::Start({SelfPath(), "--child", "sleep", "0"}, 4096);
  EXPECT_EQ(WaitEnd(*silent), 0);
  ASSERT_TRUE(silent->Peek(4096, &text));
  EXPECT_EQ(text, "");
}

TEST(Win32Process, ArgumentsArriveUnchanged) {
  const std::vector<std::string> odd = {
      "two words", "quote\"inside", "trail\\", "a\\\\b", "back\\\"quote", "", "plain"};
  std::vector<std::string> argv = {SelfPath(), "--child", "args"};
  argv.insert(argv.end(), odd.begin(), odd.end());
  auto child = vp::TChildProcess::Start(argv, 65536);
  EXPECT_EQ(WaitEnd(*child), 0);
  std::string expected;
  for (const std::string& a : odd) expected += "[" + a + "]\r\n";
  std::string text;
  ASSERT_TRUE(child->Peek(65536, &text));
  EXPECT_EQ(text, expected);
}

TEST(Win32Process, AWipedArgumentLeavesArgvAndTheProcessCommandLine) {
  // argv: program --child wipe 5 "keep me" "pa ss\"word" last
  auto child = vp::TChildProcess::Start(
      {SelfPath(), "--child", "wipe", "5", "keep me", "pa ss\"word", "last"}, 65536);
  EXPECT_EQ(WaitEnd(*child), 0);
  std::string text;
  ASSERT_TRUE(child->Peek(65536, &text));
  EXPECT_EQ(text.find("pa ss"), std::string::npos) << text;
  EXPECT_EQ(text.find("word"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n**********\r\n"), std::string::npos) << text;  // argv[5]
  // Both command lines keep the other arguments and show stars in place of the secret.
  size_t lines = 0;
  for (size_t at = text.find("keep me"); at != std::string::npos; at = text.find("keep me", at + 1))
    ++lines;
  EXPECT_EQ(lines, 3u) << text;
  EXPECT_NE(text.find("\"keep me\" \"******\"****\" last\r\n"), std::string::npos) << text;
}

TEST(Win32Process, WaitSeesTheSemaphoreTheEndOrTheTimeOut) {
  const std::string name = UniqueName("wait");
  auto semaphore = vp::TNamedSemaphore::Create(name, 0);
  auto signaller = vp::TChildProcess::Start({SelfPath(), "--child", "signal", name}, 4096);
  EXPECT_EQ(vp::WaitForProcessOrSemaphore(*signaller, *semaphore, 20000),
            vp::TWaitResult::Signalled);

  auto ender = vp::TChildProcess::Start({SelfPath(), "--child", "print", "bye", "3"}, 4096);
  EXPECT_EQ(vp::WaitForProcessOrSemaphore(*ender, *semaphore, 20000), vp::TWaitResult::Ended);

  auto sleeper = vp::TChildProcess::Start({SelfPath(), "--child", "sleep", "3000"}, 4096);
  EXPECT_EQ(vp::WaitForProcessOrSemaphore(*sleeper, *semaphore, 100), vp::TWaitResult::TimedOut);
  EXPECT_EQ(WaitEnd(*sleeper), 0);
  EXPECT_EQ(WaitEnd(*signaller), 0);
}

TEST(Win32Process, AMissingProgramIsAnOsErrorWithItsCode) {
  try {
    vp::TChildProcess::Start({"Z:\\no\\such\\veldra-program.exe"}, 4096);
    FAIL() << "expected EOSError";
  } catch (const vp::EOSError& e) {
    EXPECT_TRUE(e.Code() == ERROR_FILE_NOT_FOUND || e.Code() == ERROR_PATH_NOT_FOUND) << e.Code();
    EXPECT_EQ(std::string(e.what()).rfind("CreateProcess: ", 0), 0u) << e.what();
  }
}

TEST(Win32Process, ElevationAndIdAnswer) {
  vp::IsElevated();  // either answer is valid; it must not fail
  EXPECT_EQ(vp::CurrentProcessId(), ::GetCurrentProcessId());
}

TEST(Win32Text, AnsiCodePageRoundTripsAndEscapedBytesComeBack) {
  EXPECT_EQ(vp::AnsiToWide("abc\\x y.txt"), u"abc\\x y.txt");
  EXPECT_EQ(vp::WideToAnsi(u"abc\\x y.txt"), "abc\\x y.txt");
  EXPECT_EQ(vp::WideToAnsi(static_cast<const char16_t*>(nullptr)), "");
  EXPECT_EQ(vp::AnsiToWide(""), u"");
  // The lone surrogates that stand for stray bytes become those bytes.
  EXPECT_EQ(vp::WideToAnsi(std::u16string(u"a") + char16_t(0xDCE9) + u"b"),
            "a\xE9"
            "b");
  CPINFO info{};
  ASSERT_TRUE(::GetCPInfo(CP_ACP, &info));
  if (info.MaxCharSize == 1) {
    // A single-byte code page: every byte is a character and comes back unchanged.
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    EXPECT_EQ(vp::WideToAnsi(vp::AnsiToWide(all)), all);
  }
  if (::GetACP() == 1252) {
    EXPECT_EQ(vp::AnsiToWide("caf\xE9"), u"caf\u00E9");
    EXPECT_EQ(vp::WideToAnsi(u"caf\u00E9 \u20AC"), "caf\xE9 \x80");
  }
}

TEST(Win32Messages, SystemTextsHaveNoLineEnd) {
  for (uint32_t code : {0u, 3u, 5u, 85u, 137u}) {
    const std::string text = vp::SystemErrorMessage(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '\n') << code;
    EXPECT_NE(text.back(), '\r') << code;
  }
  EXPECT_EQ(vp::OsErrorText(0), "A call to an OS function failed");
  const vp::EOSError error("CreatePipe", 5);
  EXPECT_EQ(error.Code(), 5);
  EXPECT_EQ(std::string(error.what()), "CreatePipe: " + vp::OsErrorText(5));
}

TEST(Win32Volume, DriveRootsAndTheirInformation) {
  EXPECT_EQ(vp::DriveLetterDirectory('f'), "F:\\");
  EXPECT_EQ(vp::DriveLetterDirectory('Z'), "Z:\\");
  EXPECT_EQ(vp::DriveLetterDirectory('1'), "");
  uint32_t error = 0;
  EXPECT_FALSE(vp::QueryVolumeInformation('1', nullptr, &error));
  EXPECT_EQ(error, vp::kErrorPathNotFound);
  // The system drive has a volume with a file-system name that is not ours.
  char windows[MAX_PATH + 1] = {};
  ASSERT_GT(::GetWindowsDirectoryA(windows, MAX_PATH), 0u);
  vp::TVolumeInfo info;
  ASSERT_TRUE(vp::QueryVolumeInformation(windows[0], &info, &error));
  EXPECT_FALSE(info.FileSystemName.empty());
  EXPECT_NE(info.FileSystemName.compare(0, 6, "VELDRA"), 0);
  // A letter without a drive fails with a system code.
  const DWORD drives = ::GetLogicalDrives();
  for (int i = 25; i >= 0; --i) {
    if (drives & (1u << i)) continue;
    error = 0;
    EXPECT_FALSE(vp::QueryVolumeInformation(static_cast<char>('A' + i), &info, &error));
    EXPECT_NE(error, 0u);
    break;
  }
}

namespace {

// A connected pair of loopback sockets made with the layer itself.
struct TSocketPair {
  vp::UniqueSocket listener, client, server;
  TSocketPair() {
    listener.Reset(vp::CreateSocket(vp::kSocketStream, 0));
    EXPECT_TRUE(listener.Valid());
    EXPECT_EQ(vp::BindSocket(listener.Get(), 0x7F000001, 0), 0);
    EXPECT_EQ(vp::ListenSocket(listener.Get(), 1), 0);
    uint32_t address = 0;
    uint16_t port = 0;
    EXPECT_EQ(vp::GetSocketName(listener.Get(), address, port), 0);
    EXPECT_EQ(address, 0x7F000001u);
    client.Reset(vp::CreateSocket(vp::kSocketStream, 0));
    EXPECT_EQ(vp::ConnectSocket(client.Get(), 0x7F000001, port), 0);
    server.Reset(vp::AcceptSocket(listener.Get()));
    EXPECT_TRUE(server.Valid());
  }
};

// A loopback port nobody listens on: bound, then closed.
uint16_t ClosedPort() {
  vp::UniqueSocket s(vp::CreateSocket(vp::kSocketStream, 0));
  EXPECT_EQ(vp::BindSocket(s.Get(), 0x7F000001, 0), 0);
  uint32_t address = 0;
  uint16_t port = 0;
  EXPECT_EQ(vp::GetSocketName(s.Get(), address, port), 0);
  return port;
}

}  // namespace

TEST(Win32Socket, DataFlowsAndWaitsAndNoWaitCallsAnswerWithWinsockNumbers) {
  TSocketPair pair;
  uint32_t address = 0;
  uint16_t port = 0;
  ASSERT_EQ(vp::GetPeerName(pair.server.Get(), address, port), 0);
  EXPECT_EQ(address, 0x7F000001u);

  char buffer[64];
  EXPECT_EQ(vp::RecvSocketNoWait(pair.server.Get(), buffer, sizeof buffer), -1);
  EXPECT_EQ(vp::LastSocketError(), vp::kWsaEWOULDBLOCK);
  EXPECT_EQ(vp::WaitSocketReadable(pair.server.Get(), 20), 0);
  EXPECT_EQ(vp::RecvSocket(pair.server.Get(), buffer, sizeof buffer, 50), -1);
  EXPECT_EQ(vp::LastSocketError(), vp::kWsaEWOULDBLOCK);

  EXPECT_EQ(vp::SendSocket(pair.client.Get(), "hello", 5), 5);
  EXPECT_EQ(vp::WaitSocketReadable(pair.server.Get(), 5000), 1);
  EXPECT_EQ(vp::RecvSocket(pair.server.Get(), buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), "hello");

  // Filling the send side without a reader ends in "would block", never in a wait.
  EXPECT_EQ(vp::WaitSocketWritable(pair.client.Get(), 1000), 1);
  std::vector<char> block(1 << 16, 'x');
  long sent = 0;
  int rounds = 0;
  for (; rounds < 4096; ++rounds) {
    const long n = vp::SendSocketNoWait(pair.client.Get(), block.data(), block.size());
    if (n < 0) break;
    sent += n;
  }
  ASSERT_LT(rounds, 4096);
  EXPECT_EQ(vp::LastSocketError(), vp::kWsaEWOULDBLOCK);
  EXPECT_GT(sent, 0);
  // The socket blocks again afterwards: a plain receive of everything works.
  long received = 0;
  while (received < sent) {
    const long n = vp::RecvSocket(pair.server.Get(), block.data(), block.size());
    ASSERT_GT(n, 0);
    received += n;
  }
  EXPECT_EQ(received, sent);

  EXPECT_EQ(vp::ShutdownSocketSend(pair.client.Get()), 0);
  EXPECT_EQ(vp::WaitSocketReadable(pair.server.Get(), 5000), 1);
  EXPECT_EQ(vp::RecvSocket(pair.server.Get(), buffer, sizeof buffer), 0);
}

TEST(Win32Socket, RefusedConnectsAndBadHandlesGiveWinsockCodes) {
  const uint16_t port = ClosedPort();
  vp::UniqueSocket plain(vp::CreateSocket(vp::kSocketStream, 0));
  EXPECT_EQ(vp::ConnectSocket(plain.Get(), 0x7F000001, port), -1);
  EXPECT_EQ(vp::LastSocketError(), vp::kWsaECONNREFUSED);

  std::atomic<bool> cancel{false};
  vp::UniqueSocket sliced(vp::CreateSocket(vp::kSocketStream, 0));
  EXPECT_EQ(vp::ConnectSocket(sliced.Get(), 0x7F000001, port, &cancel), -1);
  EXPECT_EQ(vp::LastSocketError(), vp::kWsaECONNREFUSED);

  cancel = true;
  vp::UniqueSocket cancelled(vp::CreateSocket(vp::kSocketStream, 0));
  TSocketPair pair;  // something that listens, so only the cancel can end the call early
  uint32_t address = 0;
  uint16_t listening = 0;
  vp::GetSocketName(pair.listener.Get(), address, listening);
  const int rc = vp::ConnectSocket(cancelled.Get(), 0x7F000001, listening, &cancel);
  if (rc != 0) {
    EXPECT_EQ(vp::LastSocketError(), vp::kWsaEINTR);
  }

  EXPECT_EQ(vp::ListenSocket(vp::kInvalidSocket, 1), -1);
  EXPECT_EQ(vp::LastSocketError(), vp::kWsaENOTSOCK);

  uint32_t found = 0;
  EXPECT_EQ(vp::LookupHostIPv4("", found), -1);
  EXPECT_EQ(vp::LastSocketError(), vp::kWsaHostNotFound);
  EXPECT_EQ(vp::LookupHostIPv4("127.0.0.1", found), 0);
  EXPECT_EQ(found, 0x7F000001u);
}
