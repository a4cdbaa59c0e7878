// The socket stack: result checking, errno translation, host resolution, dotted quads and the
// stack's lifetime. (The message texts are checked where they surface: the connect, write and
// interrupt cases.)
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

#include "net/IdStack.h"
#include "platform/Socket.h"

TEST(NetStack, ResultCheckingResolvingDottedQuadsAndErrnos) {
  TIdStackUse use;
  TIdStack& stack = GStack();
  // Only -1 is a failure, whatever the last error holds; 10004 has a class of its own.
  veldra::platform::SetLastSocketError(10061);
  EXPECT_FALSE(stack.CheckSocketResult(0));
  EXPECT_FALSE(stack.CheckSocketResult(12345));
  EXPECT_TRUE(stack.CheckSocketResult(-1, {10048, 10061}));
  EXPECT_EQ(stack.LastError(), 10061);
  EXPECT_THROW(stack.CheckSocketResult(-1, {10048}), EIdSocketError);
  veldra::platform::SetLastSocketError(10004);
  EXPECT_THROW(stack.CheckSocketResult(-1, {10048}), EIdInterrupted);
  EXPECT_EQ(stack.SocketErrorMessage(10067), "Socket Error # 10067\r\n");  // no text of its own

  EXPECT_EQ(stack.ResolveHostAddress("LocalHost"), "127.0.0.1");
  EXPECT_EQ(stack.ResolveHostAddress("10.1.2.3"), "10.1.2.3");
  for (const char* good : {"127.0.0.1", "255.255.255.255", "0.0.0.0", "010.001.0.0"})
    EXPECT_TRUE(TIdStack::IsDottedQuad(good)) << good;
  for (const char* bad : {"256.1.1.1", "1.2.3.4.5", "1.2.3", "1..2.3", "a.b.c.d", "1.2.3.-4",
                          " 1.2.3.4", "1.2.3.99999999999999999999", "", "ftp.example"})
    EXPECT_FALSE(TIdStack::IsDottedQuad(bad)) << bad;
  EXPECT_EQ(TIdStack::DottedQuadToAddress("192.168.0.10"), 0xC0A8000Au);
  EXPECT_EQ(TIdStack::AddressToDottedQuad(0xC0A8000Au), "192.168.0.10");
  EXPECT_THROW(TIdStack::DottedQuadToAddress("1.2.3"), EIdException);
#ifndef _WIN32
  // The one errno table (Winsock reports its own numbers).
  const int rows[][2] = {{ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},    {EADDRINUSE, 10048},
                         {ECONNRESET, 10054},   {EPIPE, 10058},        {EWOULDBLOCK, 10035},
                         {ENOTSOCK, 10038},     {EHOSTUNREACH, 10065}, {EINTR, 10004}};
  for (const auto& row : rows)
    EXPECT_EQ(veldra::platform::ErrnoToSocketError(row[0]), row[1]) << row[0];
#endif
}

TEST(NetStack, CreatedWithFirstUserDestroyedWithLast) {
  EXPECT_THROW(GStack(), EIdStackError);
  auto first = std::make_unique<TIdStackUse>();
  TIdStack* stack = &GStack();
  EXPECT_EQ((TIdStackUse(*first), &GStack()), stack);  // a second user, gone at the ';'
  EXPECT_EQ(&GStack(), stack);
  first.reset();
  EXPECT_THROW(GStack(), EIdStackError);
}
