// The meta library and the walkers below the package exports: lookup by
// name, field paths, error texts, the version cut-off and the nesting limit.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "verify/kora_protocol.h"

namespace gavio::lmx {
namespace {

const LMXLibrary* Library() { return kora::KoraNetLibrary(); }

TEST(LmxTest, FindsEveryMetaByNameAndNothingElse) {
  const LMXLibrary* library = Library();
  ASSERT_EQ(library->metaCount, 22u);
  ASSERT_EQ(library->macroCount, 31u);
  for (uint32_t i = 0; i < library->metaCount; ++i) {
    const tagLMXMeta& meta = library->metas[i];
    EXPECT_EQ(lmx_get_meta_by_name(library, meta.name), &meta) << meta.name;
    if (i > 0) {
      EXPECT_LT(strcmp(library->index[i - 1].name, library->index[i].name), 0);
    }
  }
  EXPECT_EQ(lmx_get_meta_by_name(library, "KoraPkgX"), nullptr);
  EXPECT_EQ(lmx_get_meta_by_name(library, ""), nullptr);
  EXPECT_EQ(lmx_get_meta_by_name(library, nullptr), nullptr);
  EXPECT_EQ(lmx_get_meta_by_name(nullptr, "KoraPkg"), nullptr);
}

TEST(LmxTest, CatalogueSizesMatchTheRecords) {
  const LMXLibrary* library = Library();
  EXPECT_EQ(lmx_get_meta_by_name(library, "KoraPkg")->hostSize, 266522u);
  EXPECT_EQ(lmx_get_meta_by_name(library, "PkgHead")->maxNetSize, 16u);
  EXPECT_EQ(lmx_get_meta_by_name(library, "GetClsidOK")->currentVersion, 2);
  // The body's length goes to Head.BodyLen on the wire.
  const tagLMXMeta* pkg = lmx_get_meta_by_name(library, "KoraPkg");
  EXPECT_EQ(pkg->entries[1].sizeInfo.netOffset, 4u);
  EXPECT_EQ(lmx_get_meta_by_name(library, "PkgHead")->entries[3].netOffset, 4u);
}

TEST(LmxTest, NamesTheFieldAtAHostOffset) {
  const LMXLibrary* library = Library();
  const tagLMXMeta* ok = lmx_get_meta_by_name(library, "GetipOK");
  EXPECT_STREQ(lmx_entry_off_to_path(ok, 8 + 4164 + 64), "IPSet.TotalCnt");
  EXPECT_STREQ(lmx_entry_off_to_path(ok, 8 + 4164 * 3 + 68 + 40), "IPSet.Addr");
  const tagLMXMeta* pkg = lmx_get_meta_by_name(library, "KoraPkg");
  EXPECT_STREQ(lmx_entry_off_to_path(pkg, 6), "Head.CmdID");
  EXPECT_STREQ(lmx_entry_off_to_path(pkg, 100), "Body");
  EXPECT_STREQ(lmx_entry_off_to_path(pkg, 266522), "UnKnow");
  EXPECT_STREQ(lmx_entry_off_to_path(pkg, -1), "Unknow");
  EXPECT_STREQ(lmx_entry_off_to_path(nullptr, 0), "Unknow");
}

TEST(LmxTest, ErrorTextsByCode) {
  EXPECT_STREQ(lmx_error_string(0), "\xc3\xbb\xd3\xd0\xb4\xed\xce\xf3");
  EXPECT_STREQ(lmx_error_string(kErrString), lmx_error_string(ErrorCode(6)));
  EXPECT_NE(std::string(lmx_error_string(kErrRefer)).find("refer"), std::string::npos);
  EXPECT_STREQ(lmx_error_string(ErrorCode(200)), "\xce\xb4\xd6\xaa\xb4\xed\xce\xf3");
  EXPECT_STREQ(lmx_error_string(-1), "\xce\xb4\xd6\xaa\xb4\xed\xce\xf3");
}

TEST(LmxTest, RefusesBadArgumentsAndVersions) {
  const tagLMXMeta* pkg = lmx_get_meta_by_name(Library(), "KoraPkg");
  const tagLMXMeta* body = lmx_get_meta_by_name(Library(), "PkgBody");
  char host[32] = {};
  char net[32] = {};
  LMXData h{host, sizeof(host)};
  LMXData n{net, sizeof(net)};
  EXPECT_EQ(lmx_hton(body, &n, &h, 0), kErrArgument);  // a union alone
  EXPECT_EQ(lmx_hton(pkg, nullptr, &h, 0), kErrArgument);
  LMXData empty{net, 0};
  EXPECT_EQ(lmx_ntoh(pkg, &h, &empty, 0), kErrArgument);
  EXPECT_EQ(lmx_hton(pkg, &n, &h, -1), kErrVersion);
  EXPECT_EQ(n.length, 0);
  EXPECT_EQ(h.length, 0);
}

// A chain of structs each holding the next: 32 open levels are the limit.
struct Chain {
  tagLMXMeta metas[34];
  LMXEntry entries[34];
};

void BuildChain(Chain* c, int levels) {
  for (int i = 0; i <= levels; ++i) {
    LMXEntry& e = c->entries[i];
    e = LMXEntry{};
    e.name = "f";
    e.version = 1;
    e.count = 1;
    e.hostUnit = 1;
    e.type = i == levels ? kTypeTinyUint : kTypeStruct;
    e.sub = i == levels ? nullptr : &c->metas[i + 1];
    c->metas[i] = tagLMXMeta{};
    c->metas[i].name = "m";
    c->metas[i].kind = MetaKind::kStruct;
    c->metas[i].baseVersion = c->metas[i].currentVersion = 1;
    c->metas[i].hostSize = 1;
    c->metas[i].entries = &e;
    c->metas[i].entryCount = 1;
  }
}

TEST(LmxTest, NestingStopsAtThirtyTwoOpenLevels) {
  Chain chain;
  char host[1] = {0x5a};
  char net[4] = {};
  for (int levels : {32, 33}) {
    BuildChain(&chain, levels);
    LMXData h{host, 1};
    LMXData n{net, sizeof(net)};
    EXPECT_EQ(lmx_hton(&chain.metas[0], &n, &h, 0), levels == 32 ? 0 : kErrNesting) << levels;
    h = LMXData{host, 1};
    n = LMXData{net, 1};
    EXPECT_EQ(lmx_ntoh(&chain.metas[0], &h, &n, 0), levels == 32 ? 0 : kErrNesting) << levels;
  }
}

}  // namespace
}  // namespace gavio::lmx
