// zefdecode run as a program on streams this test writes with the library:
// from a file, from stdin and from a Unix socket, clean and malformed.
#include <gtest/gtest.h>

#include <asio.hpp>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "model/phy_bcm54980_stats.h"
#include "runtime/attrlog/connection.h"
#include "runtime/attrlog/socket/socket_transport.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using Hardware::Phy::ConditionStat;
using Hardware::Phy::EventOrCountStat;
using Hardware::Phy::PhyBcm54980Stats;
using Zef::Ptr;
using Zef::String8;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::MsgHeader;
using Zef::NboAttrLog::Out;
using Zef::NboAttrLog::TransactToken;

void record(Ptr<Out> const& out, MsgHeader const& h, Bytes const& payload) {
  out->nextHeaderIs(h);
  out << TransactToken{1};
  out->writeBytes(payload.data(), payload.size());
  out << TransactToken{3};
}

// The orphan announcement of entity `eid`, a `type` made with `name`.
void announce(Ptr<Out> const& out, Zef::EntityId eid, char const* type, char const* name) {
  out->nextHeaderIs({1, 136});
  out << TransactToken{1};
  out->currentPayloadSectionIs(1);
  out << static_cast<unsigned char>(1) << String8(type);
  out->currentPayloadSectionIs(3);
  out << String8(name);
  out->currentPayloadSectionIs(4);
  out << std::uint64_t(eid);
  out << TransactToken{3};
}

// A statistics entity on `out`, announced, with two attributes changed, one
// inside a transaction; then a record of an entity nobody announced.
void writeSample(Ptr<Out> const& out, Ptr<PhyBcm54980Stats> const& stats) {
  auto sa = stats->zefNboAttrLogSaIs({}, 1, out, nullptr);
  Zef::EntityId eid = sa->entityId();
  sa->doSerializeOrphan();
  out->transactionMarkerIs(eid, PhyBcm54980Stats::crcErrorsAttrId, 0, 1);
  EventOrCountStat crc;
  crc.countIs(5);
  crc.lastIs(7.5);
  stats->crcErrorsIs(crc);
  out->transactionMarkerIs(eid, PhyBcm54980Stats::crcErrorsAttrId, 2, 1);
  ConditionStat link;
  link.currentIs(U1(1));
  link.changesIs(2);
  link.lastChangeIs(0.25);
  stats->linkStateIs(link);
  record(out, {11, 300, 1, 7, 0, 0}, {0xab, 0xcd});
}

char const kSampleLines[] =
    "@0 eid 1 attr 136 announce eid 3 type Hardware::Phy::PhyBcm54980Stats hex "
    "0101000000"
    "1f"
    "48617264776172653a3a5068793a3a50687942636d353439383053746174730300000005706f727430040000000000000003\n"
    "@62 eid 3 txn open attr 268 crcErrors n 1\n"
    "@73 eid 3 attr 268 crcErrors hex 00000005401e000000000000 = "
    "Value('Hardware::Phy::EventOrCountStat', ** {'count': 5, 'last': 7.5})\n"
    "@88 eid 3 txn close attr 268 crcErrors n 1\n"
    "@96 eid 3 attr 259 linkState hex 01000000023fd0000000000000 = "
    "Value('Hardware::Phy::ConditionStat', ** {'current': 1, 'changes': 2, 'lastChange': 0.25})\n"
    "@114 eid 11 attr 300 words 1,7,0,0 hex abcd\n";

struct Outcome {
  int status;
  std::string output;
};

Outcome run(std::string const& args) {
  std::string command = std::string(ZEFDECODE) + " " + args + " 2>&1";
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return {-1, "popen failed"};
  std::string out;
  char buf[4096];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  int status = ::pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

class ZefDecodeTest : public ::testing::Test {
 protected:
  ZefDecodeTest() {
    char dir[] = "/tmp/zefdecode-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    dir_ = dir;
  }
  ~ZefDecodeTest() override { std::filesystem::remove_all(dir_); }

  std::string file(Bytes const& bytes) {
    std::string p = (dir_ / ("stream" + std::to_string(files_++))).string();
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<char const*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
    return p;
  }

  static Bytes sample() {
    Ptr<Connection> conn = Connection::ConnectionIs();
    writeSample(conn->out(), PhyBcm54980Stats::PhyBcm54980StatsIs("port0"));
    return Bytes(conn->out()->bytes().begin(), conn->out()->bytes().end());
  }

  std::filesystem::path dir_;
  int files_ = 0;
};

TEST_F(ZefDecodeTest, AStreamFromAFileOrStdinIsALineAFrameWithNamesAndValuesOnceAnnounced) {
  std::string path = file(sample());
  Outcome r = run(path);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, kSampleLines);
  Outcome fromStdin = run("- < " + path);
  EXPECT_EQ(fromStdin.status, 0);
  EXPECT_EQ(fromStdin.output, kSampleLines);
}

TEST_F(ZefDecodeTest, WithoutAnAnnouncementATypeGivenOnTheCommandLineNamesTheAttributes) {
  Ptr<Connection> conn = Connection::ConnectionIs();
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("port1");
  // A stream caught after its announcement went by.
  stats->zefNboAttrLogSaIs({}, 1, conn->out(), nullptr)->zefIsAnnouncedIs(true);
  EventOrCountStat crc;
  crc.countIs(1);
  stats->crcErrorsIs(crc);
  std::string path = file(Bytes(conn->out()->bytes().begin(), conn->out()->bytes().end()));
  std::string line = "@0 eid 3 attr 268 crcErrors hex 000000010000000000000000 = "
                     "Value('Hardware::Phy::EventOrCountStat', ** {'count': 1, 'last': 0})\n";
  EXPECT_EQ(run(path + " --type 3=PhyBcm54980Stats").output, line);
  EXPECT_EQ(run(path).output, "@0 eid 3 attr 268 hex 000000010000000000000000\n");
  Outcome bad = run(path + " --type 3=NoSuchType");
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.output, "zefdecode: --type wants EID=TYPE with a registered type, not 3=NoSuchType\n");
}

TEST_F(ZefDecodeTest, MalformedFramesAreReportedWithTheirOffsetsAndDecodingGoesOn) {
  Ptr<Out> out = Out::OutIs();
  announce(out, 3, "Hardware::Phy::PhyBcm54980Stats", "port0");  // 62 bytes
  record(out, {3, 268}, {0, 0, 0});                              // too short for its value
  Bytes stream(out->bytes().begin(), out->bytes().end());
  Bytes bad{0xA6, 0x00, 0x01, 0x07};  // both "same" and "next" attribute
  stream.insert(stream.end(), bad.begin(), bad.end());
  Ptr<Out> more = Out::OutIs();
  record(more, {1, 136}, {1, 0, 0});  // an announcement cut short
  more->transactionMarkerIs(3, 268, 7, 2);
  stream.insert(stream.end(), more->bytes().begin(), more->bytes().end());
  stream.push_back(0xA0);  // a frame the stream ends inside

  Outcome r = run(file(stream));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output,
            "@0 eid 1 attr 136 announce eid 3 type Hardware::Phy::PhyBcm54980Stats hex "
            "0101000000"
            "1f"
            "48617264776172653a3a5068793a3a50687942636d353439383053746174730300000005706f727430040000000000000003\n"
            "@62 eid 3 attr 268 crcErrors hex 000000\n"
            "@62 error: payload of crcErrors: attribute log record ends early: nextU32 needs 4 bytes at offset 0, 3 left\n"
            "@71 error: frame at offset 71: both same and next attribute\n"
            "@75 eid 1 attr 136 announce hex 010000\n"
            "@75 error: malformed announcement: announcement names no type\n"
            "@84 eid 3 txn type 7 attr 268 crcErrors n 2\n"
            "@95 error: stream ends inside a frame: 1 bytes\n");
}

TEST_F(ZefDecodeTest, LostFramingIsReportedAndDecodingStops) {
  Ptr<Out> out = Out::OutIs();
  record(out, {5, 258}, {1});
  Bytes stream(out->bytes().begin(), out->bytes().end());
  stream.insert(stream.end(), {0x30, 0, 0});
  stream.insert(stream.end(), out->bytes().begin(), out->bytes().end());
  Outcome r = run(file(stream));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output,
            "@0 eid 5 attr 258 hex 01\n"
            "@7 error: unknown frame tag 0x30 at offset 7\n"
            "stopped: framing lost\n");
}

TEST_F(ZefDecodeTest, WhatAServerSendsOnAUnixSocketIsDecodedUntilItCloses) {
  asio::io_context io;
  std::string path = (dir_ / "s").string();
  auto server = Zef::AttrLogSocket::Server::ServerIs(io, Zef::AttrLogSocket::UnixAddress{path});
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("port0");
  Ptr<Connection> conn;
  server->onConnectionIs([&](Ptr<Connection> const& c) {
    conn = c;
    writeSample(c->out(), stats);
  });
  FILE* p = ::popen((std::string(ZEFDECODE) + " --unix " + path + " 2>&1").c_str(), "r");
  ASSERT_TRUE(p);
  auto end = std::chrono::steady_clock::now() + 10s;
  while (!(conn && conn->out()->size() == 0) && std::chrono::steady_clock::now() < end) {
    io.restart();
    io.run_one_for(20ms);
  }
  server->closedIs();
  std::string output;
  char buf[4096];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) output.append(buf, n);
  int status = ::pclose(p);
  ASSERT_TRUE(conn) << output;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(output, kSampleLines);
}

TEST_F(ZefDecodeTest, AnInputThatCannotBeReadFailsClearly) {
  Outcome missing = run((dir_ / "missing").string());
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.output, "zefdecode: cannot open " + (dir_ / "missing").string() + "\n");
  Outcome noSocket = run("--unix " + (dir_ / "missing").string());
  EXPECT_EQ(noSocket.status, 2);
  EXPECT_EQ(noSocket.output, "zefdecode: cannot connect to unix:" + (dir_ / "missing").string() + ": no such socket\n");
}

}  // namespace
