// Answers of the verification service as the handlers receive them, without
// a connection: the shared handler base fed byte pieces the way a
// connection delivers them, the decoders and the conversions into the
// client's records.
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "frame/log_sink.h"
#include "gavio/gavio.h"
#include "platform/errors.h"
#include "verify/kora_answers.h"
#include "verify/protocol_handler.h"

namespace gavio::kora {
namespace {

struct PackageDeleter {
  void operator()(KoraPkg* p) const { free(p); }
};
using Package = std::unique_ptr<KoraPkg, PackageDeleter>;

Package NewAnswer(uint16_t cmd) {
  Package pkg(static_cast<KoraPkg*>(calloc(1, sizeof(KoraPkg))));
  pkg->Head.Magic = kMagic;
  pkg->Head.HeadLen = kHeadLen;
  pkg->Head.CmdID = cmd;
  return pkg;
}

std::string Wire(KoraPkg* pkg) {
  const tagLMXMeta* meta = nullptr;
  EXPECT_EQ(initPrototol(&meta), 0);
  std::string out(65536, '\0');
  uint32_t length = 65535;
  EXPECT_GT(pack(meta, pkg, out.data(), &length, kVersion3), 0);
  out.resize(length);
  return out;
}

std::string Verdicts(const std::vector<uint16_t>& verdicts) {
  Package pkg = NewAnswer(kScVerifyHash);
  VerifyHashOK& ok = pkg->Body.VerifyHashResp_.List.VerifyHashOk;
  ok.HashCnt = static_cast<uint16_t>(verdicts.size());
  for (size_t i = 0; i < verdicts.size(); ++i) ok.CheckRes[i].Verified = verdicts[i];
  return Wire(pkg.get());
}

std::string Refusal(uint16_t cmd, uint16_t result, const std::string& msg) {
  Package pkg = NewAnswer(cmd);
  VerifyHashResp& r = pkg->Body.VerifyHashResp_;  // every response starts alike
  r.Result = result;
  r.List.VerifyHashErr.MsgLen = static_cast<uint16_t>(msg.size());
  memcpy(r.List.VerifyHashErr.Msg, msg.data(), msg.size());
  return Wire(pkg.get());
}

std::string Servers(uint16_t cmd, uint32_t version, uint32_t subs) {
  Package pkg = NewAnswer(cmd);
  GetipOK& ok = pkg->Body.GetKoraipResp_.List.GetipOk;
  ok.Version = version;
  ok.ResCnts = subs;
  for (uint32_t i = 0; i < subs; ++i) {
    snprintf(ok.IPSet[i].SubSvcID, sizeof ok.IPSet[i].SubSvcID, "sub%u", i);
    ok.IPSet[i].TotalCnt = 2;
    ok.IPSet[i].HpCnt = 5;  // more than were sent
    ok.IPSet[i].Addr[0] = 0x0100007f;
    ok.IPSet[i].Addr[1] = i;
  }
  return Wire(pkg.get());
}

// A hash-check parser over the shared base, recording what it decodes.
class HashParser : public TProtocalHandler::IParser {
 public:
  bool BuildWire(const std::string&, std::string*) override { return false; }
  uint32_t Decode(const char* bytes, uint32_t length) override {
    HashAnswer answer;
    uint32_t used = DecodeHashAnswer(bytes, length, &answer);
    if (used != 0) answers.push_back(answer);
    return used;
  }
  void OnExchangeError(uint32_t code) override { errors.push_back(code); }

  std::vector<HashAnswer> answers;
  std::vector<uint32_t> errors;
};

struct Harness {
  Harness() : base(nullptr, &log) {
    base.Bind(&parser, nullptr, 0, 0);
    base.KeepPending("x", 1);  // an exchange under way
  }
  void Deliver(const std::string& bytes) {
    base.OnPacket(bytes.data(), static_cast<int32_t>(bytes.size()));
  }
  LogSink log{nullptr, 0};
  HashParser parser;
  TProtocalHandler base;
};

TEST(HandlerAnswers, HashAnswerSplitAtEveryByteDecodesOnceComplete) {
  const std::string wire = Verdicts({1, 2, 0, 1});
  for (size_t cut = 1; cut < wire.size(); ++cut) {
    Harness h;
    SetLastError(0);
    h.Deliver(wire.substr(0, cut));
    ASSERT_TRUE(h.parser.answers.empty()) << "cut " << cut;
    EXPECT_EQ(h.base.HeldBytes(), cut);
    // Still arriving: not a decode failure.
    EXPECT_EQ(h.base.LastError(), 0u) << "cut " << cut;
    EXPECT_EQ(GetLastError(), 0u) << "cut " << cut;
    h.Deliver(wire.substr(cut));
    ASSERT_EQ(h.parser.answers.size(), 1u) << "cut " << cut;
    EXPECT_EQ(h.parser.answers[0].count, 4u);
    EXPECT_EQ(h.parser.answers[0].verdicts[1], 2);
    EXPECT_EQ(h.base.HeldBytes(), 0u);
    EXPECT_TRUE(h.parser.errors.empty());
  }
}

// A whole package that does not decode, alone or behind a good answer, is
// a decode failure.
TEST(HandlerAnswers, AWholeUndecodablePackageSetsTheDecodeError) {
  const std::string wire = Verdicts({1, 2});
  std::string broken = wire.substr(0, 16);
  broken[4] = '\0';  // a body of one byte cannot hold a response
  broken[5] = '\1';
  broken += '\xff';
  const std::vector<std::string> deliveries[] = {{broken}, {broken.substr(0, 9), broken.substr(9)}};
  for (const auto& pieces : deliveries) {
    Harness h;
    SetLastError(0);
    for (const std::string& piece : pieces) h.Deliver(piece);
    EXPECT_TRUE(h.parser.answers.empty());
    EXPECT_EQ(h.base.LastError(), kVerifyErrorDecode) << pieces.size();
    EXPECT_EQ(GetLastError(), kVerifyErrorDecode) << pieces.size();
  }
}

TEST(HandlerAnswers, HashAnswerOneByteAtATime) {
  const std::string wire = Verdicts(std::vector<uint16_t>(256, 1));
  Harness h;
  for (char c : wire) h.Deliver(std::string(1, c));
  ASSERT_EQ(h.parser.answers.size(), 1u);
  EXPECT_EQ(h.parser.answers[0].count, 256u);
}

// Bytes that never decode end the exchange once more than the limit wait,
// with one report, and memory stays bounded by the limit and one delivery.
TEST(HandlerAnswers, UndecodableBytesPastTheLimitEndTheExchange) {
  struct Case {
    const char* name;
    std::string head;  // what the garbage starts with
  };
  const std::string hashHead = Verdicts({1}).substr(0, 16);
  std::string bigAnnounce = hashHead;
  bigAnnounce[4] = '\xff';
  bigAnnounce[5] = '\xff';
  const Case cases[] = {
      {"random", ""},
      {"valid head, body never ends", bigAnnounce},
  };
  std::mt19937 random(7);
  for (const Case& c : cases) {
    Harness h;
    h.Deliver(c.head);
    size_t delivered = c.head.size();
    while (h.parser.errors.empty() && delivered < 4 * kReassemblyLimit) {
      std::string chunk(4096, '\0');
      for (char& b : chunk) b = static_cast<char>(random());
      h.Deliver(chunk);
      delivered += chunk.size();
      ASSERT_LE(h.base.HeldBytes(), kReassemblyLimit) << c.name;
    }
    ASSERT_EQ(h.parser.errors.size(), 1u) << c.name;
    EXPECT_EQ(h.parser.errors[0], kVerifyErrorDecode) << c.name;
    EXPECT_GT(delivered, kReassemblyLimit) << c.name;
    EXPECT_EQ(h.base.HeldBytes(), 0u) << c.name;
    EXPECT_TRUE(h.parser.answers.empty()) << c.name;
  }
}

// A connection that closes mid-answer leaves nothing behind: the next
// server's answer decodes on its own.
TEST(HandlerAnswers, CloseDropsAPartialAnswer) {
  const std::string wire = Verdicts({1, 1});
  Harness h;
  h.Deliver(wire.substr(0, 20));
  h.base.Close();
  EXPECT_EQ(h.base.HeldBytes(), 0u);
  h.Deliver(wire);
  ASSERT_EQ(h.parser.answers.size(), 1u);
}

TEST(HandlerAnswers, HashAnswerKinds) {
  struct Case {
    const char* name;
    std::string wire;
    HashAnswer::Kind kind;
    uint32_t code;
    const char* reason;
  };
  const std::string longMsg(128, 'm');  // fills Msg: no NUL on the wire or in memory
  const Case cases[] = {
      {"verdicts", Verdicts({1, 0}), HashAnswer::kVerdicts, 0, ""},
      {"refused", Refusal(kScVerifyHash, 2, "busy"), HashAnswer::kRefused, kVerifyErrorHashResult,
       "busy"},
      {"refused, full message", Refusal(kScVerifyHash, 1, longMsg), HashAnswer::kRefused,
       kVerifyErrorHashResult, longMsg.c_str()},
      {"another command's answer", Servers(kScGetKoraip, 1, 1), HashAnswer::kRefused,
       kVerifyErrorDecode, "Error : Command dismatch!"},
      {"unknown command", Wire(NewAnswer(0x7777).get()), HashAnswer::kRefused, kVerifyErrorDecode,
       "Error : Command dismatch!"},
  };
  for (const Case& c : cases) {
    HashAnswer answer;
    ASSERT_EQ(DecodeHashAnswer(c.wire.data(), static_cast<uint32_t>(c.wire.size()), &answer),
              c.wire.size())
        << c.name;
    EXPECT_EQ(answer.kind, c.kind) << c.name;
    EXPECT_EQ(answer.error.firstCode, 0u) << c.name;
    EXPECT_EQ(answer.error.secondCode, c.code) << c.name;
    EXPECT_STREQ(answer.error.reason, c.reason) << c.name;
  }
}

TEST(HandlerAnswers, VerdictsMapOntoTheTaskInOrder) {
  auto task = std::make_unique<HashCheckTask>();
  memset(task.get(), 0, sizeof(HashCheckTask));
  task->count = 4;
  for (int i = 0; i < 4; ++i) snprintf(task->paths[i], kVerifyPathMax, "/f%d", i);
  memset(task->paths[3], 'p', kVerifyPathMax);  // no NUL: cut, never overrun
  HashAnswer answer;
  answer.kind = HashAnswer::kVerdicts;
  answer.count = 5;  // more verdicts than files
  const uint16_t sent[] = {1, 2, 0, 9, 1};
  memcpy(answer.verdicts, sent, sizeof sent);
  auto result = std::make_unique<HashCheckResult>();
  memset(result.get(), 0, sizeof(HashCheckResult));
  EXPECT_FALSE(FillHashResult(*task, answer, result.get()));
  ASSERT_EQ(result->count, 4u);
  EXPECT_STREQ(result->paths[1], "/f1");
  EXPECT_EQ(strlen(result->paths[3]), static_cast<size_t>(kVerifyPathMax - 1));
  // An undefined verdict (9) never counts as a pass.
  const uint32_t expected[] = {kHashPassed, kHashFailed, kHashNotVerified, kHashNotVerified};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(result->verdicts[i], expected[i]) << i;
}

TEST(HandlerAnswers, SeveralPackagesInOneDeliveryInOrder) {
  const std::string a = Servers(kScGetKoraip, 3, 1);
  const std::string b = Refusal(kScGetWhiteip, 8, "none");
  Package clsid = NewAnswer(kScGetClsid);
  clsid->Body.GetClsidResp_.List.GetClsidOk.Version = 4;
  const std::string c = Wire(clsid.get());
  const std::string all = a + b + c;
  for (size_t cut = 0; cut <= all.size(); ++cut) {
    std::vector<uint16_t> seen;
    uint32_t used = WalkPackages(all.data(), static_cast<uint32_t>(cut), [&](const KoraPkg& p) {
      seen.push_back(p.Head.CmdID);
      return true;
    });
    size_t whole = cut >= all.size() ? 3 : cut >= a.size() + b.size() ? 2 : cut >= a.size() ? 1 : 0;
    ASSERT_EQ(seen.size(), whole) << "cut " << cut;
    const size_t ends[] = {0, a.size(), a.size() + b.size(), all.size()};
    EXPECT_EQ(used, ends[whole]) << "cut " << cut;
  }
  std::vector<uint16_t> stopped;
  EXPECT_EQ(WalkPackages(all.data(), static_cast<uint32_t>(all.size()),
                         [&](const KoraPkg& p) {
                           stopped.push_back(p.Head.CmdID);
                           return false;
                         }),
            a.size());
  EXPECT_EQ(stopped, std::vector<uint16_t>{kScGetKoraip});
}

TEST(HandlerAnswers, ServerListConversionCapsWhatItCopies) {
  Package pkg = NewAnswer(kScGetKoraip);
  GetipOK& ok = pkg->Body.GetKoraipResp_.List.GetipOk;
  ok.Version = 11;
  ok.ResCnts = 64;  // the protocol allows 64 sub-services, the record holds 32
  for (int i = 0; i < 64; ++i) {
    memset(ok.IPSet[i].SubSvcID, 'n', sizeof ok.IPSet[i].SubSvcID);  // no NUL
    ok.IPSet[i].TotalCnt = 1024;
    ok.IPSet[i].HpCnt = 3;
    ok.IPSet[i].Addr[1023] = 77;
  }
  ok.IPSet[1].TotalCnt = 2;
  ok.IPSet[1].HpCnt = 9;
  auto info = std::make_unique<ServerListInfo>();
  memset(info.get(), 0, sizeof(ServerListInfo));
  ConvertServerList(ok, info.get());
  EXPECT_EQ(info->version, 11u);
  ASSERT_EQ(info->subServiceCount, 32u);
  EXPECT_EQ(strlen(info->subServices[0].name), 64u);
  EXPECT_EQ(info->subServices[0].addressCount, 1024u);
  EXPECT_EQ(info->subServices[0].addresses[1023], 77u);
  EXPECT_EQ(info->subServices[0].recommendedCount, 3u);
  EXPECT_EQ(info->subServices[1].recommendedCount, 2u);
}

TEST(HandlerAnswers, ControlIdConversionSkipsTextsWithoutEnd) {
  Package pkg = NewAnswer(kScGetClsid);
  GetClsidOK& ok = pkg->Body.GetClsidResp_.List.GetClsidOk;
  ok.Version = 2;
  ok.ResCnts = 2;
  memset(ok.ClsidSet[0].Tclsid, 'A', 36);
  ok.ClsidSet[0].IdVer = 5;
  memset(ok.ClsidSet[1].Tclsid, 'B', 37);  // no NUL in its 37 bytes
  // Through the wire: the DLL names of version 2 never arrive.
  ok.TdllCnts = 1;
  strcpy(ok.Tdlls[0], "x.dll");
  const std::string wire = Wire(pkg.get());
  Package back(static_cast<KoraPkg*>(calloc(1, sizeof(KoraPkg))));
  const tagLMXMeta* meta = nullptr;
  initPrototol(&meta);
  ASSERT_EQ(unpack(meta, wire.data(), static_cast<uint32_t>(wire.size()), back.get()), 0);
  auto info = std::make_unique<ControlIdInfo>();
  memset(info.get(), 0, sizeof(ControlIdInfo));
  ConvertControlIds(back->Body.GetClsidResp_.List.GetClsidOk, info.get());
  ASSERT_EQ(info->classIdCount, 2u);
  EXPECT_EQ(std::string(info->classIds[0].classId), std::string(36, 'A'));
  EXPECT_EQ(info->classIds[0].version, 5u);
  EXPECT_STREQ(info->classIds[1].classId, "");
  EXPECT_EQ(info->dllCount, 0u);
}

}  // namespace
}  // namespace gavio::kora
