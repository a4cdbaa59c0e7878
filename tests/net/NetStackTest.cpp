// The socket stack: the numbered message table, result checking, errno translation, host
// resolution and dotted-quad handling, and the stack's lifetime.
#include <gtest/gtest.h>

#include <cerrno>

#include "net/IdStack.h"
#include "platform/Socket.h"

TEST(NetMessages, TableAndResultChecking) {
  TIdStackUse use;
  TIdStack& stack = GStack();
  const std::pair<int, const char*> rows[] = {{10061, "Connection refused."},
                                              {10035, "Operation would block. "},
                                              {10066, "Directory not empty"},
                                              {10004, "Interrupted system call."},
                                              {10067, ""},
                                              {11001, "Host not found."}};
  for (const auto& [code, text] : rows)
    EXPECT_EQ(stack.SocketErrorMessage(code),
              "Socket Error # " + std::to_string(code) + "\r\n" + text);
  // Only -1 is a failure, whatever the last error holds; 10004 has a class of its own.
  veldra::platform::SetLastSocketError(10061);
  EXPECT_FALSE(stack.CheckSocketResult(0));
  EXPECT_FALSE(stack.CheckSocketResult(12345));
  EXPECT_TRUE(stack.CheckSocketResult(-1, {10048, 10061}));
  EXPECT_EQ(stack.LastError(), 10061);
  try {
    stack.CheckSocketResult(-1, {10048});
    ADD_FAILURE() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10061);
    EXPECT_STREQ(e.ClassName(), "EIdSocketError");
  }
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

TEST(NetResolve, NamesAndDottedQuads) {
  TIdStackUse use;
  TIdStack& stack = GStack();
  for (const char* name : {"localhost", "LOCALHOST", "LocalHost"})
    EXPECT_EQ(stack.ResolveHostAddress(name), "127.0.0.1");
  EXPECT_EQ(stack.ResolveHostAddress("10.1.2.3"), "10.1.2.3");
  try {
    stack.ResolveHostAddress("");
    ADD_FAILURE() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 11001);
  }
  for (const char* good : {"127.0.0.1", "255.255.255.255", "0.0.0.0", "010.001.0.0"})
    EXPECT_TRUE(TIdStack::IsDottedQuad(good)) << good;
  for (const char* bad : {"256.1.1.1", "1.2.3.4.5", "1.2.3", "1..2.3", "a.b.c.d", "1.2.3.-4",
                          " 1.2.3.4", "1.2.3.99999999999999999999", "", "ftp.example"})
    EXPECT_FALSE(TIdStack::IsDottedQuad(bad)) << bad;
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
