// The buffered connection over real loopback sockets: line reading and limits, exact and
// stream reads, disconnect detection, time-outs, writing, and the receive buffers.
#include <gtest/gtest.h>

#include <string>

#include "net/IdTCPClient.h"
#include "tests/net/NetTestUtil.h"

// --- line reading and limits ------------------------------------------------------------

TEST(NetLines, CrLfLfAndInnerCr) {
  TScriptedPeer peer;
  peer.Send("220 ok\r\n220 ok\na\rb\n").Hold();
  auto c = ConnectTo(peer);
  EXPECT_EQ(c->ReadLine(), "220 ok");
  EXPECT_EQ(c->ReadLine(), "220 ok");
  EXPECT_EQ(c->ReadLine(), "a\rb");
}

TEST(NetLines, LineArrivingInSeveralStepsWithLateTerminator) {
  TScriptedPeer peer;
  peer.Send("22").Pause(30).Send("0 o").Pause(30).Send("k\r").Pause(30).Send("\nnext\n").Hold();
  auto c = ConnectTo(peer);
  EXPECT_EQ(c->ReadLine(), "220 ok");
  EXPECT_EQ(c->ReadLine(), "next");
}

TEST(NetLines, MultiByteTerminatorSplitAcrossReceives) {
  TScriptedPeer peer;
  peer.Send("abc<").Pause(30).Send("EOL>rest<EOL>").Hold();
  auto c = ConnectTo(peer);
  EXPECT_EQ(c->ReadLine("<EOL>"), "abc");
  EXPECT_EQ(c->ReadLine("<EOL>"), "rest");
}

TEST(NetLines, OverLongLineRaisesBeforeAnyFurtherReceive) {
  TScriptedPeer peer;
  // 16385 bytes and then silence: waiting for more would end in EIdReadTimeout instead.
  peer.Send(std::string(16385, 'x')).Hold();
  auto c = ConnectTo(peer, 60000);
  EXPECT_THROW(c->ReadLine(), EIdReadLnMaxLineLengthExceeded);
  EXPECT_TRUE(c->IsConnected());
}

TEST(NetLines, LimitCountsTheCrOfCrLf) {
  TScriptedPeer peer;
  peer.Send(std::string(16384, 'a') + "\n" + std::string(16384, 'b') + "\r\n").Hold();
  auto c = ConnectTo(peer);
  EXPECT_EQ(c->ReadLine(), std::string(16384, 'a'));
  try {
    c->ReadLine();
    FAIL() << "16384 bytes + CR LF must exceed the limit";
  } catch (const EIdReadLnMaxLineLengthExceeded& e) {
    EXPECT_STREQ(e.what(), "Max line length exceeded.");
  }
}

TEST(NetLines, ZeroLimitAcceptsAnyLengthAndSplitModeCuts) {
  TScriptedPeer peer;
  peer.Send(std::string(100000, 'z') + "\n" + "0123456789\n").Hold();
  auto c = ConnectTo(peer);
  c->SetMaxLineLength(0);
  EXPECT_EQ(c->ReadLine().size(), 100000u);
  c->SetMaxLineLength(4);
  c->SetMaxLineAction(maSplit);
  EXPECT_EQ(c->ReadLine(), "0123");
  EXPECT_TRUE(c->LineWasSplit());
}

// --- disconnect detection ---------------------------------------------------------------

TEST(NetDisconnect, PartialLineThenCloseReturnsEmptyOnceThenRaises) {
  TScriptedPeer peer;
  peer.Send("abc").Close();
  auto c = ConnectTo(peer);
  EXPECT_EQ(c->ReadLine(), "");
  EXPECT_TRUE(c->LineTimedOut());
  try {
    c->ReadLine();
    FAIL() << "expected EIdConnClosedGracefully";
  } catch (const EIdConnClosedGracefully& e) {
    EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
  }
  // The partial line is still there for a caller that takes bytes directly.
  EXPECT_EQ(c->PendingInput().Size(), 3u);
}

TEST(NetDisconnect, PendingLinesStayReadableAfterClose) {
  TScriptedPeer peer;
  peer.Send("one\ntwo\n").Close();
  auto c = ConnectTo(peer);
  ASSERT_TRUE(peer.WaitDone());
  EXPECT_EQ(c->ReadLine(), "one");
  EXPECT_EQ(c->ReadLine(), "two");
  EXPECT_THROW(c->ReadLine(), EIdConnClosedGracefully);
  EXPECT_FALSE(c->IsConnected());
}

TEST(NetDisconnect, ReadToStreamUntilClosedTakesEverything) {
  TScriptedPeer peer;
  peer.Send("abc").Close();
  auto c = ConnectTo(peer);
  TIdMemoryStream stream;
  EXPECT_EQ(c->ReadToStream(stream, -1, true), 3);
  EXPECT_EQ(stream.Bytes(), "abc");
  EXPECT_FALSE(c->IsConnected());
}

TEST(NetDisconnect, ReadToStreamUntilClosedLargeAndPrePending) {
  std::string body;
  for (int i = 0; i < 200000; ++i) body += static_cast<char>('a' + i % 26);
  TScriptedPeer peer;
  peer.Send("head\n").Send(body.substr(0, 70000)).Pause(30).Send(body.substr(70000)).Close();
  auto c = ConnectTo(peer);
  EXPECT_EQ(c->ReadLine(), "head");
  TIdMemoryStream stream;
  c->ReadToStream(stream, -1, true);
  EXPECT_EQ(stream.Bytes(), body);
}

TEST(NetDisconnect, CountedReadsAndShortCountedReadFails) {
  TScriptedPeer peer;
  peer.Send("0123456789").Close();
  auto c = ConnectTo(peer);
  char four[4];
  c->ReadExact(four, 4);
  EXPECT_EQ(std::string(four, 4), "0123");
  TIdMemoryStream stream;
  EXPECT_EQ(c->ReadToStream(stream, 3, false), 3);
  EXPECT_EQ(stream.Bytes(), "456");
  // Only 3 bytes are left: a counted read of 5 must not end as a short success; the stream
  // keeps the bytes that came and no unwritten pre-sized space.
  TIdMemoryStream rest;
  EXPECT_THROW(c->ReadToStream(rest, 5, false), EIdConnClosedGracefully);
  EXPECT_EQ(rest.Bytes(), "789");
  char three[3];
  EXPECT_THROW(c->ReadExact(three, 1), EIdConnClosedGracefully);
}

TEST(NetDisconnect, ReceiveChunkFeedsPendingInputForDirectConsumption) {
  TScriptedPeer peer;
  peer.Send("data!").Close();
  auto c = ConnectTo(peer);
  while (c->PendingInput().Size() < 5) c->ReceiveChunk(true, -1, true);
  EXPECT_EQ(std::string(c->PendingInput().Data(), 5), "data!");
  c->PendingInput().Remove(5);
  EXPECT_THROW(
      {
        c->ReceiveChunk(true, -1, true);
        c->DetectDisconnect(true, true);
      },
      EIdConnClosedGracefully);
}

// A bulk reader takes pending bytes first, then receives straight into its own buffer; the end
// of the data is EIdConnClosedGracefully only once everything was handed out.
TEST(NetDisconnect, ReadAvailableHandsOutPendingBytesThenReceivesDirectly) {
  TScriptedPeer peer;
  peer.Send("line\nabc").Pause(50).Send(std::string(100000, 'z')).Close();
  auto c = ConnectTo(peer);
  EXPECT_EQ(c->ReadLine(), "line");
  std::string out(100003 + 16, '\0');
  long got = 0;
  while (got < 3) got += c->ReadAvailable(&out[got], 2);
  EXPECT_EQ(out.substr(0, 3), "abc");
  EXPECT_TRUE(c->PendingInput().Empty());
  try {
    for (int i = 0; i < 1000; ++i) {
      got += c->ReadAvailable(&out[got], static_cast<long>(out.size()) - got);
    }
    FAIL() << "the closed peer was never reported";
  } catch (const EIdConnClosedGracefully&) {
  }
  EXPECT_EQ(got, 100003);
  EXPECT_EQ(out.substr(3, 100000), std::string(100000, 'z'));
  EXPECT_EQ(c->ReadAvailable(&out[0], 0), 0);
}

TEST(NetDisconnect, SilentPeerTimesOutAndConnectionStaysUsable) {
  TScriptedPeer peer;
  peer.Send("par").Pause(600).Send("tial\n").Hold();
  auto c = ConnectTo(peer);
  c->SetReadTimeout(100);
  try {
    c->ReadLine();
    FAIL() << "expected EIdReadTimeout";
  } catch (const EIdReadTimeout& e) {
    EXPECT_STREQ(e.what(), "Read Timeout");
  }
  EXPECT_TRUE(c->IsConnected());
  EXPECT_EQ(c->PendingInput().Size(), 3u);
  c->SetReadTimeout(10000);
  EXPECT_EQ(c->ReadLine(), "partial");
  // A receive step that does not raise on time-out reports -1.
  EXPECT_EQ(c->ReceiveChunk(true, 50, false), -1);
  EXPECT_EQ(c->ReceiveChunk(true, 0, false), -1);  // 0: look, do not wait
}

TEST(NetDisconnect, WritesOnDroppedOrMissingSocket) {
  TScriptedPeer peer;
  peer.Send("pending\n").Hold();
  auto c = ConnectTo(peer);
  c->ReceiveChunk(true, -1, true);
  c->DropSocket();
  EXPECT_FALSE(c->IsConnected());
  EXPECT_THROW(c->WriteText("x"), EIdConnClosedGracefully);
  c->CloseConnection();
  EXPECT_EQ(c->IOHandler(), nullptr);
  try {
    c->WriteText("x");
    FAIL() << "expected EIdNotConnected";
  } catch (const EIdNotConnected& e) {
    EXPECT_STREQ(e.what(), "Not Connected");
  }
  EXPECT_THROW(c->ReceiveChunk(true, -1, true), EIdNotConnected);
  EXPECT_EQ(c->ReceiveChunk(false, -1, true), 0);
}

TEST(NetDisconnect, WriteToResetPeerRaisesSocketErrorAndDrops) {
  TScriptedPeer peer;
  peer.Close();
  auto c = ConnectTo(peer);
  ASSERT_TRUE(peer.WaitDone());
  std::string block(65536, 'q');
  bool raised = false;
  // The first write may still succeed (the kernel accepts it before the peer's reset).
  for (int i = 0; i < 50 && !raised; ++i) {
    try {
      c->WriteBytes(block.data(), static_cast<long>(block.size()));
    } catch (const EIdSocketError& e) {
      raised = true;
      EXPECT_TRUE(e.LastError() == 10054 || e.LastError() == 10058) << e.LastError();
    } catch (const EIdConnClosedGracefully&) {
      raised = true;
    }
  }
  EXPECT_TRUE(raised);
  EXPECT_FALSE(c->IsConnected());
}

// --- writing ----------------------------------------------------------------------------

TEST(NetWrite, LinesAreSentWithCrLfAndUnsafeLinesAreRefused) {
  TScriptedPeer peer;
  peer.ReadLine().ReadLine().Close();
  auto c = ConnectTo(peer);
  for (const std::string& bad : {std::string("DELE a\r\nRMD /"), std::string("USER x\nPASS y"),
                                 std::string("CWD a\rb"), std::string("RETR a\0b", 8)}) {
    try {
      c->WriteLine(bad);
      FAIL() << "unsafe line was accepted";
    } catch (const EIdException& e) {
      EXPECT_STREQ(e.what(), "Line to send contains CR, LF or NUL.");
    }
  }
  c->WriteLine("NOOP");
  c->WriteLine("");
  ASSERT_TRUE(peer.WaitDone());
  EXPECT_EQ(peer.RawReceived(), "NOOP\r\n\r\n");
}

TEST(NetWrite, PeerThatStopsReadingTimesOutTheSend) {
  TScriptedPeer peer;
  peer.Hold();
  auto c = ConnectTo(peer, 200);
  const std::string block(64 * 1024 * 1024, 'w');
  try {
    c->WriteBytes(block.data(), static_cast<long>(block.size()));
    FAIL() << "a peer that reads nothing cannot take 64 MiB";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10060);
    EXPECT_STREQ(e.what(), "Socket Error # 10060\r\nConnection timed out.");
  }
  EXPECT_FALSE(c->IsConnected());
}

// --- buffers ----------------------------------------------------------------------------

TEST(NetBuffer, ManagedBufferRemovalAndCompaction) {
  TIdManagedBuffer buffer;
  buffer.Append("hello", 5);
  buffer.Remove(2);
  EXPECT_EQ(buffer.ConsumedCount(), 2u);
  EXPECT_EQ(std::string(buffer.Data(), buffer.Size()), "llo");
  EXPECT_THROW(buffer.Remove(4), EIdNotEnoughDataInBuffer);
  buffer.Remove(3);
  EXPECT_TRUE(buffer.Empty());
  EXPECT_EQ(buffer.ConsumedCount(), 0u);

  std::string big(40000, 'b');
  big[32768] = 'X';
  buffer.Append(big.data(), big.size());
  buffer.Remove(32767);
  EXPECT_EQ(buffer.ConsumedCount(), 32767u);
  buffer.Remove(1);  // reaches the threshold: the rest moves to the front
  EXPECT_EQ(buffer.ConsumedCount(), 0u);
  EXPECT_EQ(buffer.Data()[0], 'X');
  EXPECT_EQ(buffer.ExtractText(3), "Xbb");
  try {
    buffer.ExtractText(buffer.Size() + 1);
    FAIL();
  } catch (const EIdNotEnoughDataInBuffer& e) {
    EXPECT_STREQ(e.what(), "Not enough data in buffer.");
  }

  TIdSimpleBuffer simple;
  simple.Append("abcdef", 6);
  simple.Remove(2);
  EXPECT_EQ(std::string(simple.Data(), simple.Size()), "cdef");
}
