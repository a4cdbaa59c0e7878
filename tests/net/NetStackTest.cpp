// The socket stack: the numbered message table, result checking, errno translation, host
// resolution and dotted-quad handling, and the stack's lifetime.
#include <gtest/gtest.h>

#include <cerrno>

#include "net/IdStack.h"
#include "platform/Socket.h"

TEST(NetMessages, FormatAndTable) {
  TIdStackUse use;
  TIdStack& stack = GStack();
  EXPECT_EQ(stack.SocketErrorMessage(10061), "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(stack.SocketErrorMessage(10035), "Socket Error # 10035\r\nOperation would block. ");
  EXPECT_EQ(stack.SocketErrorMessage(10066), "Socket Error # 10066\r\nDirectory not empty");
  EXPECT_EQ(stack.SocketErrorMessage(10004), "Socket Error # 10004\r\nInterrupted system call.");
  EXPECT_EQ(stack.SocketErrorMessage(10067), "Socket Error # 10067\r\n");
  EXPECT_EQ(stack.SocketErrorMessage(11001), "Socket Error # 11001\r\nHost not found.");
  try {
    stack.RaiseSocketError(10054);
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10054);
    EXPECT_STREQ(e.what(), "Socket Error # 10054\r\nConnection reset by peer.");
    EXPECT_STREQ(e.ClassName(), "EIdSocketError");
  }
}

TEST(NetMessages, CheckSocketResult) {
  TIdStackUse use;
  TIdStack& stack = GStack();
  veldra::platform::SetLastSocketError(10061);
  // Only -1 is a failure, whatever the last error holds.
  EXPECT_FALSE(stack.CheckSocketResult(0));
  EXPECT_FALSE(stack.CheckSocketResult(12345));
  EXPECT_TRUE(stack.CheckSocketResult(-1, {10048, 10061}));
  EXPECT_EQ(stack.LastError(), 10061);
  EXPECT_THROW(stack.CheckSocketResult(-1, {10048}), EIdSocketError);
  // 10004, a wait given up at the interrupt check, has a class of its own.
  veldra::platform::SetLastSocketError(10004);
  EXPECT_THROW(stack.CheckSocketResult(-1, {10048}), EIdInterrupted);
}

#ifndef _WIN32
// The one errno table (Winsock reports its own numbers).
TEST(NetMessages, ErrnoTranslation) {
  using veldra::platform::ErrnoToSocketError;
  const int rows[][2] = {{ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},    {EADDRINUSE, 10048},
                         {ECONNRESET, 10054},   {EPIPE, 10058},        {EWOULDBLOCK, 10035},
                         {ENOTSOCK, 10038},     {EHOSTUNREACH, 10065}, {EINTR, 10004}};
  for (const auto& row : rows) EXPECT_EQ(ErrnoToSocketError(row[0]), row[1]) << row[0];
  // A real failure of the OS layer arrives translated.
  EXPECT_EQ(veldra::platform::ListenSocket(-1, 1), -1);
  EXPECT_EQ(veldra::platform::LastSocketError(), 10009);
}
#endif

TEST(NetResolve, LocalhostDottedQuadsAndFailures) {
  TIdStackUse use;
  TIdStack& stack = GStack();
  EXPECT_EQ(stack.ResolveHostAddress("localhost"), "127.0.0.1");
  EXPECT_EQ(stack.ResolveHostAddress("LOCALHOST"), "127.0.0.1");
  EXPECT_EQ(stack.ResolveHostAddress("LocalHost"), "127.0.0.1");
  EXPECT_EQ(stack.ResolveHostAddress("10.1.2.3"), "10.1.2.3");
  try {
    stack.ResolveHostAddress("");
    FAIL() << "expected EIdSocketError";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 11001);
  }
}

TEST(NetResolve, IsDottedQuadAndConversion) {
  EXPECT_TRUE(TIdStack::IsDottedQuad("127.0.0.1"));
  EXPECT_TRUE(TIdStack::IsDottedQuad("255.255.255.255"));
  EXPECT_TRUE(TIdStack::IsDottedQuad("0.0.0.0"));
  EXPECT_TRUE(TIdStack::IsDottedQuad("010.001.0.0"));
  EXPECT_FALSE(TIdStack::IsDottedQuad("256.1.1.1"));
  EXPECT_FALSE(TIdStack::IsDottedQuad("1.2.3.4.5"));
  EXPECT_FALSE(TIdStack::IsDottedQuad("1.2.3"));
  EXPECT_FALSE(TIdStack::IsDottedQuad("1..2.3"));
  EXPECT_FALSE(TIdStack::IsDottedQuad("a.b.c.d"));
  EXPECT_FALSE(TIdStack::IsDottedQuad("1.2.3.-4"));
  EXPECT_FALSE(TIdStack::IsDottedQuad(" 1.2.3.4"));
  EXPECT_FALSE(TIdStack::IsDottedQuad("1.2.3.99999999999999999999"));
  EXPECT_FALSE(TIdStack::IsDottedQuad(""));
  EXPECT_FALSE(TIdStack::IsDottedQuad("ftp.example"));

  EXPECT_EQ(TIdStack::DottedQuadToAddress("127.0.0.1"), 0x7F000001u);
  EXPECT_EQ(TIdStack::DottedQuadToAddress("192.168.0.10"), 0xC0A8000Au);
  EXPECT_EQ(TIdStack::AddressToDottedQuad(0xC0A8000Au), "192.168.0.10");
  EXPECT_THROW(TIdStack::DottedQuadToAddress("1.2.3"), EIdException);
}

TEST(NetStackLifetime, CreatedWithFirstUserDestroyedWithLast) {
  EXPECT_THROW(GStack(), EIdStackError);
  {
    TIdStackUse first;
    TIdStack* stack = &GStack();
    {
      TIdStackUse second(first);
      EXPECT_EQ(&GStack(), stack);
    }
    EXPECT_EQ(&GStack(), stack);
  }
  EXPECT_THROW(GStack(), EIdStackError);
}
