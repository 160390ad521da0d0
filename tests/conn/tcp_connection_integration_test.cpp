// SPDX-License-Identifier: MIT
#include "ostrevan/conn/tcp_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "ostrevan/conn/errors.h"
#include "ostrevan/conn/io_handler_socket.h"
#include "ostrevan/net/errors.h"
#include "ostrevan/runtime/format.h"
#include "tests/support/connection_pair.h"
#include "tests/support/raises.h"

namespace ostrevan {
namespace {

using testing::MessageOf;
using testing::TConnectionPair;
using Clock = std::chrono::steady_clock;

// Records the status, disconnect and work events of a connection, one
// entry per event.
struct TEventLog {
  std::vector<std::string> Entries;

  void Attach(TIdTCPConnection& connection) {
    connection.OnStatus = [this](TObject*, TIdStatus, const std::string& text) {
      Entries.push_back("status:" + text);
    };
    connection.OnDisconnected = [this](TObject*) { Entries.push_back("disconnected"); };
    connection.OnWorkBegin = [this](TObject*, TWorkMode mode, int32_t max) {
      Entries.push_back(Format("begin:%d:%d", mode, max));
    };
    connection.OnWork = [this](TObject*, TWorkMode mode, int32_t count) {
      Entries.push_back(Format("work:%d:%d", mode, count));
    };
    connection.OnWorkEnd = [this](TObject*, TWorkMode mode) {
      Entries.push_back(Format("end:%d", mode));
    };
  }
};

// Counts how often a watched component is destroyed.
class TDestructionWatcher : public TComponent {
 public:
  TDestructionWatcher() : TComponent(nullptr) {}
  int Count = 0;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove) ++Count;
  }
};

int64_t ElapsedMs(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(TCPConnection, StartsWithItsDefaultsAndNoTransport) {
  TIdTCPConnection connection(nullptr);
  EXPECT_EQ(connection.RecvBufferSize(), 32768);
  EXPECT_EQ(connection.SendBufferSize(), 32768);
  EXPECT_EQ(connection.MaxLineLength(), 16384);
  EXPECT_EQ(connection.MaxLineAction(), maException);
  EXPECT_EQ(connection.ReadTimeout(), 0);
  EXPECT_FALSE(connection.ASCIIFilter());
  EXPECT_FALSE(connection.OwnsIOHandler());
  EXPECT_FALSE(connection.Connected());
  EXPECT_EQ(connection.IOHandler(), nullptr);

  // Without a transport: the empty text is no write at all, anything else
  // is refused, and a read asked for errors raises.
  EXPECT_NO_THROW(connection.Write(""));
  EXPECT_EQ(MessageOf<EIdNotConnected>([&] { connection.Write("x"); }), "Not Connected");
  EXPECT_EQ(MessageOf<EIdNotConnected>([&] { connection.ReadLn(); }), "Not Connected");
  EXPECT_EQ(connection.FillInputBuffer(false, -1, true), 0);
}

TEST(TCPConnection, PeerThatSendsOneByteAndClosesEndsTheLineEmptyAndKeepsTheByte) {
  TConnectionPair pair;
  TEventLog log;
  log.Attach(pair.Conn());
  pair.PeerSend("x");
  pair.PeerClose();

  EXPECT_EQ(pair.Conn().ReadLn(), "");
  EXPECT_TRUE(pair.Conn().LineEndedEmpty());
  EXPECT_EQ(log.Entries, (std::vector<std::string>{"status:Disconnected.", "disconnected"}));
  EXPECT_EQ(pair.Conn().InBuffer().Size(), 1);
  EXPECT_FALSE(pair.Conn().Connected());

  EXPECT_EQ(MessageOf<EIdConnClosedGracefully>([&] { pair.Conn().ReadLn(); }),
            "Connection Closed Gracefully.");
  EXPECT_EQ(pair.Conn().TakeAvailable(), "x");
  EXPECT_EQ(MessageOf<EIdConnClosedGracefully>([&] { pair.Conn().Write("y"); }),
            "Connection Closed Gracefully.");
  EXPECT_EQ(log.Entries.size(), 2u) << "the close is reported once";
}

TEST(TCPConnection, DisconnectReportsEveryStepEachTimeAndFreesTheOwnedHandlerOnce) {
  TConnectionPair pair;
  TEventLog log;
  log.Attach(pair.Conn());
  TDestructionWatcher watcher;
  watcher.FreeNotification(pair.Conn().IOHandler());
  pair.Conn().Disconnect();
  pair.Conn().Disconnect();
  const std::vector<std::string> once{"status:Disconnecting.", "disconnected",
                                      "status:Disconnected."};
  std::vector<std::string> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(log.Entries, twice);
  EXPECT_EQ(watcher.Count, 1);
  EXPECT_EQ(pair.Conn().IOHandler(), nullptr);
  EXPECT_FALSE(pair.Conn().OwnsIOHandler());
  EXPECT_EQ(pair.PeerReceiveAll(), "") << "the peer sees the close";

  TIdTCPConnection neverConnected(nullptr);
  TEventLog neverLog;
  neverLog.Attach(neverConnected);
  neverConnected.Disconnect();
  EXPECT_EQ(neverLog.Entries, once);
}

TEST(TCPConnection, WriteAfterThePeerResetRaisesConnectionResetAndCloses) {
  const std::string reset = "Socket Error # 104\r\nConnection reset by peer.";
  {
    TConnectionPair pair;
    pair.PeerReset();
    EXPECT_EQ(MessageOf<EIdSocketError>([&] { pair.Conn().Write("data"); }), reset);
    EXPECT_FALSE(pair.Conn().Connected());
  }
  {
    // Once the reset was taken by a receive, the send fails with EPIPE,
    // which counts as the same reset.
    TConnectionPair pair;
    pair.PeerReset();
    char byte;
    ASSERT_EQ(recv(testing::DescriptorOf(pair.Conn()), &byte, 1, 0), -1);
    try {
      pair.Conn().Write("data");
      FAIL() << "nothing raised";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.ErrorNumber(), 104);
      EXPECT_EQ(e.Message(), reset);
    }
  }
}

TEST(TCPConnection, ReadsFailWithTheirOwnErrors) {
  {
    TConnectionPair pair;
    pair.PeerReset();
    EXPECT_EQ(MessageOf<EIdSocketError>([&] { pair.Conn().ReadLn(); }),
              "Socket Error # 104\r\nConnection reset by peer.");
  }
  {
    TConnectionPair pair;
    pair.Conn().SetReadTimeout(100);
    const auto start = Clock::now();
    EXPECT_EQ(MessageOf<EIdReadTimeout>([&] { pair.Conn().ReadLn(); }), "Read Timeout");
    EXPECT_GE(ElapsedMs(start), 100);
    EXPECT_TRUE(pair.Conn().Connected()) << "a time-out does not close";
  }
}

TEST(TCPConnection, ReadLnWithAnExplicitTimeOutGivesUpAndKeepsThePartialLine) {
  TConnectionPair pair;
  pair.Conn().SetReadTimeout(5000);  // not used: the call gives its own
  pair.PeerSend("abc");
  const auto start = Clock::now();
  EXPECT_EQ(pair.Conn().ReadLn("\n", 150), "");
  EXPECT_GE(ElapsedMs(start), 150);
  EXPECT_LT(ElapsedMs(start), 2000);
  EXPECT_TRUE(pair.Conn().ReadLnTimedOut());
  EXPECT_FALSE(pair.Conn().LineEndedEmpty());
  EXPECT_EQ(pair.Conn().InBuffer().Size(), 3);

  pair.PeerSend("def\n");
  EXPECT_EQ(pair.Conn().ReadLn("\n", 2000), "abcdef");
  EXPECT_FALSE(pair.Conn().ReadLnTimedOut());
}

TEST(TCPConnection, ReadLnEndsLinesAtItsTerminator) {
  TConnectionPair pair;
  pair.PeerSend("abc\r\n\n\r\na\rb\nleft<END>");
  EXPECT_EQ(pair.Conn().ReadLn(), "abc");
  EXPECT_EQ(pair.Conn().ReadLn(), "");
  EXPECT_EQ(pair.Conn().ReadLn(), "");
  EXPECT_EQ(pair.Conn().ReadLn(), "a\rb") << "a CR not before the LF stays";
  EXPECT_EQ(pair.Conn().ReadLn("<END>"), "left");

  // A CR before the LF is dropped only with LF as terminator.
  pair.PeerSend("one\r\r\ntwo\r\n");
  EXPECT_EQ(pair.Conn().ReadLn("\r\n"), "one\r");
  EXPECT_EQ(pair.Conn().ReadLn(""), "two") << "the empty terminator is LF";
}

TEST(TCPConnection, ReadLnFindsATerminatorSplitAcrossTwoReceives) {
  TConnectionPair pair;
  pair.PeerSend("first\r");
  pair.AwaitBuffered(6);
  pair.PeerSend("\nsecond<E");
  EXPECT_EQ(pair.Conn().ReadLn("\r\n"), "first");
  pair.AwaitBuffered(8);
  pair.PeerSend("ND>");
  EXPECT_EQ(pair.Conn().ReadLn("<END>"), "second");

  // The start of a terminator is not counted as part of the line.
  pair.PeerSend("abcd\r");
  pair.AwaitBuffered(5);
  pair.PeerSend("\n");
  EXPECT_EQ(pair.Conn().ReadLn("\r\n", -1, 4), "abcd");
}

TEST(TCPConnection, ReadLnHandlesLinesLongerThanTheMaximum) {
  TConnectionPair pair;
  pair.Conn().SetMaxLineLength(4);
  pair.PeerSend("abcd\nabcde\n");
  EXPECT_EQ(pair.Conn().ReadLn(), "abcd");
  EXPECT_EQ(MessageOf<EIdReadLnMaxLineLengthExceeded>([&] { pair.Conn().ReadLn(); }),
            "Max line length exceeded.");
  EXPECT_EQ(pair.Conn().InBuffer().Size(), 6) << "the long line stays buffered";

  pair.Conn().SetMaxLineAction(maSplit);
  EXPECT_EQ(pair.Conn().ReadLn(), "abcd");
  EXPECT_TRUE(pair.Conn().LineSplit());
  EXPECT_EQ(pair.Conn().ReadLn(), "e");
  EXPECT_FALSE(pair.Conn().LineSplit());

  // Without a terminator in sight, the piece is cut as soon as the bytes
  // exceed the maximum; the call's own maximum wins over the property, 0
  // meaning no limit.
  pair.PeerSend("123456789");
  pair.AwaitBuffered(9);
  EXPECT_EQ(pair.Conn().ReadLn(), "1234");
  pair.PeerSend("\n");
  EXPECT_EQ(pair.Conn().ReadLn("\n", -1, 0), "56789");
  // With the default terminator a CR counts towards the length.
  pair.Conn().SetMaxLineAction(maException);
  pair.PeerSend("abcd\r\n");
  EXPECT_THROW(pair.Conn().ReadLn(), EIdReadLnMaxLineLengthExceeded);
}

TEST(TCPConnection, NonBlankLinesAndAvailableBytes) {
  TConnectionPair pair;
  pair.PeerSend("\r\n  \t\r\n  word \r\nrest");
  EXPECT_EQ(pair.Conn().ReadNonBlankLine(5), "word");
  pair.PeerSend("\n\n\n");
  EXPECT_EQ(pair.Conn().ReadNonBlankLine(1), "rest");
  EXPECT_EQ(pair.Conn().ReadNonBlankLine(2), "") << "two blank lines use both attempts";
}

TEST(TCPConnection, ASCIIFilterClearsTheTopBit) {
  TConnectionPair pair;
  pair.Conn().SetASCIIFilter(true);
  pair.PeerSend("\xC1\xE2\x8A");
  EXPECT_EQ(pair.Conn().ReadLn(), "Ab");
}

TEST(TCPConnection, ReadAllReturnsEverythingUntilTheCloseInOneReadUnit) {
  TConnectionPair pair;
  TEventLog log;
  pair.PeerSend("abc");
  pair.AwaitBuffered(3);
  pair.PeerSend("def");
  pair.PeerClose();
  log.Attach(pair.Conn());
  EXPECT_EQ(pair.Conn().ReadAll(), "abcdef");
  ASSERT_GE(log.Entries.size(), 4u);
  EXPECT_EQ(log.Entries.front(), "begin:0:0");
  EXPECT_EQ(log.Entries.back(), "end:0");
  EXPECT_EQ(log.Entries[log.Entries.size() - 2], "work:0:6");
  EXPECT_EQ(pair.Conn().ReadAll(), "") << "nothing is left";

  // Bytes that arrived before a close that is already known are returned.
  TConnectionPair closed;
  closed.PeerSend("x");
  closed.PeerClose();
  EXPECT_EQ(closed.Conn().ReadLn(), "");
  EXPECT_EQ(closed.Conn().ReadAll(), "x");
}

TEST(TCPConnection, WritesPutTheirExactBytesOnTheWire) {
  TConnectionPair pair;
  pair.Conn().WriteUInt32(1, true);
  pair.Conn().WriteUInt32(1, false);
  pair.Conn().WriteInt32(-2, true);
  EXPECT_EQ(pair.PeerReceive(12), std::string("\0\0\0\1\1\0\0\0\xFF\xFF\xFF\xFE", 12));

  pair.Conn().WriteLn("");
  pair.Conn().Write("");
  pair.Conn().WriteLn("line");
  EXPECT_EQ(pair.PeerReceive(8), "\r\nline\r\n");

  TStringList lines{".", ".begins", "x"};
  pair.Conn().WriteDotTerminated(lines);
  EXPECT_EQ(pair.PeerReceive(100, 200), "..\r\n.begins\r\nx\r\n.\r\n");

  TIdRFCReply reply;
  pair.Conn().WriteReply(reply);
  reply.SetCodeAndText(250, "first\nlast");
  pair.Conn().WriteReply(reply);
  EXPECT_EQ(pair.PeerReceive(100, 200), "250-first\r\n250 last\r\n");
}

TEST(TCPConnection, SendStreamWritesChunksInOneWriteUnit) {
  TConnectionPair pair;
  TEventLog log;
  log.Attach(pair.Conn());
  pair.Conn().SetSendBufferSize(2);
  TMemoryStream stream;
  stream.WriteBuffer("hello", 5);
  pair.Conn().SendStream(stream, true, true);
  EXPECT_EQ(pair.PeerReceive(9), std::string("\0\0\0\5hello", 9));
  EXPECT_EQ(log.Entries, (std::vector<std::string>{"begin:1:5", "work:1:2", "work:1:4",
                                                   "work:1:5", "end:1"}));

  stream.SetPosition(1);
  pair.Conn().SendStream(stream, false, false, 3);
  EXPECT_EQ(pair.PeerReceive(3), "ell");
}

// A stream that claims more bytes than it can deliver.
class TShortStream : public TMemoryStream {
 public:
  int64_t Size() override { return TMemoryStream::Size() + 10; }
};

TEST(TCPConnection, SendStreamOfAStreamThatEndsEarlyRaisesAfterSendingWhatItHad) {
  TConnectionPair pair;
  TEventLog log;
  log.Attach(pair.Conn());
  TShortStream stream;
  stream.WriteBuffer("abc", 3);
  EXPECT_EQ(MessageOf<EIdNoDataToRead>([&] { pair.Conn().SendStream(stream); }),
            "No data to read.");
  EXPECT_EQ(pair.PeerReceive(3), "abc");
  EXPECT_EQ(log.Entries.back(), "end:1") << "the write unit is closed";
  EXPECT_EQ(pair.Conn().WorkLevel(wmWrite), 0);
}

TEST(TCPConnection, SendFileSendsTheWholeFileOrNamesTheMissingOne) {
  TConnectionPair pair;
  char path[] = "/tmp/ostrevan_send_file_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string content(100000, 'z');
  ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
  EXPECT_EQ(pair.Conn().SendFile(path), content.size());
  EXPECT_EQ(pair.PeerReceive(content.size()), content);
  unlink(path);

  EXPECT_EQ(MessageOf<EIdFileNotFound>([&] { pair.Conn().SendFile(path); }),
            std::string("File \"") + path + "\" not found");
}

TEST(TCPConnection, ReadReplyCollectsEveryLineUpToTheEndMarker) {
  TConnectionPair pair;
  pair.PeerSend("250-first\r\n\r\n250-second\r\n250 last\r\nabc-one\r\n   \r\nABC two\r\n");
  EXPECT_EQ(pair.Conn().ReadReply(), 250);
  EXPECT_EQ(pair.Conn().LastReply().Text(), (TStringList{"first", "second", "last"}));
  EXPECT_EQ(pair.Conn().ReadReply(), 0) << "a code of letters has no number";
  EXPECT_EQ(pair.Conn().LastReply().TextCode(), "abc");
  EXPECT_EQ(pair.Conn().LastReply().Text(), (TStringList{"one", "two"}));

  // A line shorter than four characters ends a reply too.
  pair.PeerSend("220-a\r\nok\r\n");
  EXPECT_EQ(pair.Conn().ReadReply(), 220);
  EXPECT_EQ(pair.Conn().LastReply().Text(), (TStringList{"a", ""}));
}

TEST(TCPConnection, CommandsCheckTheirReplyCodes) {
  TConnectionPair pair;
  pair.PeerSend("550 no such file\r\n");
  try {
    pair.Conn().SendCommand("DELE x", {250, 251});
    FAIL() << "nothing raised";
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyErrorCode(), 550);
    EXPECT_EQ(e.Message(), "no such file\n");
  }
  EXPECT_EQ(pair.PeerReceive(8), "DELE x\r\n");

  pair.PeerSend("250 done\r\n451 later\r\n");
  EXPECT_EQ(pair.Conn().SendCommand("NOOP", {250}), 250);
  EXPECT_EQ(pair.Conn().ExpectReply({}), 451) << "an empty list allows every code";
  EXPECT_EQ(MessageOf<EIdConnectException>([&] {
              pair.Conn().RaiseReplyErrorAs(ExceptionClassOf<EIdConnectException>());
            }),
            "later\n");
}

TEST(TCPConnection, ReplacingTheHandlerFreesAnOwnedOneAndForgetsAFreedOne) {
  TConnectionPair pair;
  TDestructionWatcher watcher;
  watcher.FreeNotification(pair.Conn().IOHandler());
  auto* other = new TIdIOHandlerSocket(nullptr);
  pair.Conn().SetIOHandler(other);
  EXPECT_EQ(watcher.Count, 1) << "the owned handler went";
  EXPECT_FALSE(pair.Conn().OwnsIOHandler());
  EXPECT_EQ(pair.Conn().SocketHandler(), other);
  delete other;
  EXPECT_EQ(pair.Conn().IOHandler(), nullptr);
  EXPECT_EQ(pair.Conn().SocketHandler(), nullptr);
}

// The CPU time this thread has used, in microseconds: unlike the wall
// clock it does not grow while the thread waits for a core on a busy
// machine.
int64_t ThreadCpuMicros() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// A line of the given length arriving in blocks; the CPU time of one ReadLn
// for it, in microseconds, the best of three runs.
int64_t BestReadLnMicros(size_t length) {
  int64_t best = INT64_MAX;
  for (int run = 0; run < 3; ++run) {
    TConnectionPair pair;
    pair.Conn().SetMaxLineAction(maSplit);
    const std::string line = std::string(length, 'a') + "\n";
    std::thread writer([&] { pair.PeerSend(line); });
    const int64_t start = ThreadCpuMicros();
    const std::string read = pair.Conn().ReadLn("\n", -1, static_cast<int32_t>(length) * 2);
    const int64_t micros = ThreadCpuMicros() - start;
    writer.join();
    EXPECT_EQ(read.size(), length);
    best = std::min<int64_t>(best, micros);
  }
  return best;
}

TEST(TCPConnection, ReadLnTimeGrowsLinearlyWithTheLine) {
  // Four times the bytes take about four times as long when each receive
  // is searched once; searching the whole line again after each receive
  // would take about sixteen times as long. The bound sits between.
  const int64_t small = BestReadLnMicros(2 << 20);
  const int64_t large = BestReadLnMicros(8 << 20);
  RecordProperty("micros_2MiB", static_cast<int>(small));
  RecordProperty("micros_8MiB", static_cast<int>(large));
  EXPECT_LT(large, small * 9) << "2 MiB: " << small << " us, 8 MiB: " << large << " us";
}

}  // namespace
}  // namespace ostrevan
