// The XML document components (1121 and 1) on real files: the cursor at
// its edges, editing, plain and keyed round trips, hostile input.
#include <gtest/gtest.h>
#include <locale.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "docs_test_env.h"
#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "gavio/xml.h"
#include "platform/errors.h"
#include "support/test_support.h"

namespace {

using namespace gavio;
using docs_test::Create;
using gavio_test::ReadFile;
using gavio_test::TempDir;
using gavio_test::WriteFile;

struct Doc {
  explicit Doc(uint32_t id = kXmlDocumentId) : doc(Create<IXmlDocument>(id)) {}
  ~Doc() { doc->Destroy(0); }
  IXmlDocument* operator->() const { return doc; }
  // The attribute of the main element, or "<none>".
  std::string Attr(const char* name, bool child = false) const {
    char buffer[256];
    int32_t ok = child ? doc->GetChildAttrib(name, buffer, sizeof(buffer))
                       : doc->GetAttrib(name, buffer, sizeof(buffer));
    return ok ? buffer : "<none>";
  }
  IXmlDocument* doc;
};

constexpr char kServers[] =
    "<?xml version=\"1.0\"?>\n"
    "<list>\n"
    "  <server name=\"a\" port=\"1\"/>\n"
    "  <!-- spare -->\n"
    "  <server name=\"b\" port=\"2\"><host ip=\"10.0.0.1\"/><host ip=\"10.0.0.2\"/></server>\n"
    "  <other/>\n"
    "</list>\n";

TEST(XmlDocumentTest, BothIdsBuildSaveAndReloadTheSameDocument) {
  TempDir dir;
  for (uint32_t id : {kXmlDocumentId, kXmlDocumentAltId}) {
    SCOPED_TRACE(id);
    std::string path = dir.File("out" + std::to_string(id) + ".xml");
    {
      Doc doc(id);
      ASSERT_NE(doc.doc, nullptr);
      EXPECT_EQ(doc->GetComponentID(), id);
      ASSERT_EQ(doc->AddElem("list", "", 0), 1);
      ASSERT_EQ(doc->SetAttrib("tricky", "<&\"'>"), 1);
      ASSERT_EQ(doc->IntoElem(), 1);
      ASSERT_EQ(doc->AddElemInt("count", -7, 0), 1);
      ASSERT_EQ(doc->AddElem("last", "text", 0), 1);
      ASSERT_EQ(doc->InsertElem("first", "", 0), 1);
      ASSERT_EQ(doc->SetAttribInt2("n", 42), 1);
      ASSERT_EQ(doc->AddChildElem("inner", "x", 0), 1);
      ASSERT_EQ(doc->InsertChildElem("inner0", "", 0), 1);
      ASSERT_EQ(doc->Save(path.c_str()), 1);
    }
    Doc back(id);
    ASSERT_EQ(back->Load(path.c_str()), 1);
    ASSERT_EQ(back->FindElem("list"), 1);
    EXPECT_EQ(back.Attr("tricky"), "<&\"'>");
    ASSERT_EQ(back->IntoElem(), 1);
    std::vector<std::string> names;
    while (back->FindElem(nullptr)) names.push_back(back.Attr("n"));
    EXPECT_EQ(names, (std::vector<std::string>{"42", "<none>", "<none>"}));
    back->ResetMainPos();
    ASSERT_EQ(back->FindElem("first"), 1);
    ASSERT_EQ(back->FindChildElem(nullptr), 1);
    ASSERT_EQ(back->IntoElem(), 1);
    EXPECT_EQ(back->OutOfElem(), 1);
    EXPECT_EQ(back->FindChildElem("inner"), 1);  // after inner0, the child position
  }
  // Nothing but the two documents was left in the folder.
  size_t files = 0;
  for (auto& entry : std::filesystem::directory_iterator(dir.path())) files += entry.is_regular_file();
  EXPECT_EQ(files, 2u);
}

TEST(XmlDocumentTest, CursorAtItsEdges) {
  Doc doc;
  EXPECT_EQ(doc->FindElem(nullptr), 0);  // no document yet
  EXPECT_EQ(doc->IntoElem(), 0);
  EXPECT_EQ(doc->OutOfElem(), 0);
  EXPECT_EQ(doc->FindChildElem(nullptr), 0);
  ASSERT_EQ(doc->SetDoc(kServers), 1);
  EXPECT_EQ(doc->IsWellFormed(), 1);
  // The child search finds the root first when there is no main position.
  ASSERT_EQ(doc->FindChildElem("server"), 1);
  EXPECT_EQ(doc.Attr("name", true), "a");
  ASSERT_EQ(doc->IntoElem(), 1);  // main = server a
  EXPECT_EQ(doc.Attr("name"), "a");
  // A name that does not occur keeps the main position; the next find
  // continues after it, past the comment.
  EXPECT_EQ(doc->FindElem("missing"), 0);
  EXPECT_EQ(doc.Attr("name"), "a");
  ASSERT_EQ(doc->FindElem("server"), 1);
  EXPECT_EQ(doc.Attr("name"), "b");
  ASSERT_EQ(doc->FindChildElem("host"), 1);
  ASSERT_EQ(doc->FindChildElem("host"), 1);
  EXPECT_EQ(doc.Attr("ip", true), "10.0.0.2");
  EXPECT_EQ(doc->FindChildElem("host"), 0);  // past the last child: kept
  EXPECT_EQ(doc.Attr("ip", true), "10.0.0.2");
  // Enter server b (main = its current child), then leave again.
  ASSERT_EQ(doc->IntoElem(), 1);
  EXPECT_EQ(doc.Attr("ip"), "10.0.0.2");
  EXPECT_EQ(doc->FindElem(nullptr), 0);  // the last host
  ASSERT_EQ(doc->OutOfElem(), 1);
  EXPECT_EQ(doc.Attr("name"), "b");
  EXPECT_EQ(doc.Attr("ip", true), "10.0.0.2");
  ASSERT_EQ(doc->OutOfElem(), 1);  // back to the top level: main = list
  EXPECT_EQ(doc->OutOfElem(), 0);
  EXPECT_EQ(doc->FindElem(nullptr), 0);  // list is the only top element
  doc->ResetPos();
  ASSERT_EQ(doc->FindElem("list"), 1);
  ASSERT_EQ(doc->IntoElem(), 1);  // no child position: main becomes none
  EXPECT_EQ(doc->GetAttrib("name", nullptr, 0), 0);
  ASSERT_EQ(doc->FindElem("other"), 1);
  doc->ResetChildPos();
  EXPECT_EQ(doc->FindChildElem(nullptr), 0);  // other has no children
}

TEST(XmlDocumentTest, MalformedTextIsRefusedWithAnEmptyDocument) {
  for (const char* text : {"", "<a>", "<a></b>", "<a b=\"1\" b=\"2\"/>", "<a><b></a>", "<a x=\"1/>", "<a b=\"1\" <c/>"}) {
    SCOPED_TRACE(text);
    Doc doc;
    ASSERT_EQ(doc->SetDoc("<ok/>"), 1);
    SetLastError(0);
    EXPECT_EQ(doc->SetDoc(text), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    EXPECT_EQ(doc->IsWellFormed(), 0);
    EXPECT_EQ(doc->FindElem(nullptr), 0);
  }
  Doc doc;
  EXPECT_EQ(doc->SetDoc(nullptr), 0);
  EXPECT_EQ(doc->Load(nullptr), 0);
  EXPECT_EQ(doc->Save(nullptr), 0);
}

// Found by the server-list fuzzer: a text that ends inside a multi-byte
// character of a name made the parser read past the text's end.
TEST(XmlDocumentTest, TextCutInsideACharacterIsRefusedWithoutReadingPastIt) {
  for (const char* cut : {"\xEF\xBB\xBF<Server><game co\xEA", "<Server><game count=\"1\" c\xF0",
                          "<Server><game\xEA\xEA u\xEA"}) {
    std::string text(cut);  // on the heap, sized exactly, so an over-read shows
    text.reserve(0);
    Doc doc;
    EXPECT_EQ(doc->SetDoc(text.c_str()), 0);
  }
}

TEST(XmlDocumentTest, KeyedFilesRoundTripAndDamagedOnesAreRefused) {
  TempDir dir;
  std::string keyed = dir.File("list.xmlz");
  {
    Doc doc;
    ASSERT_EQ(doc->SetDoc(kServers), 1);
    ASSERT_EQ(doc->Save(keyed.c_str()), 1);
  }
  std::string bytes = ReadFile(keyed);
  EXPECT_EQ(bytes.find("server"), std::string::npos);
  EXPECT_EQ(bytes.size() % 8, 0u);
  // A ".xml" path that is missing reads the keyed file beside it.
  Doc doc;
  ASSERT_EQ(doc->Load(dir.File("list.xml").c_str()), 1);
  ASSERT_EQ(doc->FindChildElem("server"), 1);
  EXPECT_EQ(doc.Attr("port", true), "1");

  // A file made under another key, a flipped byte, a cut file: refused,
  // and the loaded document stays as it was.
  IBlockCipher* cipher = Create<IBlockCipher>(kBlockCipherId);
  uint8_t otherKey[kCipherKeySize] = {'o', 't', 'h', 'e', 'r'};
  std::string foreign(cipher->EncryptedLength(5), '\0');
  uint32_t foreignLength = 0;
  cipher->Encrypt("<a/>", 4, otherKey, foreign.data(), &foreignLength);
  cipher->Destroy(0);
  std::string flipped = bytes;
  flipped[flipped.size() - 3] ^= 0x40;
  for (const std::string& damaged : {foreign, flipped, bytes.substr(0, bytes.size() - 3),
                                     bytes.substr(0, 8)}) {
    WriteFile(dir.File("bad.XMLZ"), damaged);
    EXPECT_EQ(doc->Load(dir.File("bad.XMLZ").c_str()), 0);
    EXPECT_EQ(doc.Attr("port", true), "1");
    EXPECT_EQ(doc->IsWellFormed(), 1);
  }
  // An empty keyed file is an empty document; a missing pair fails.
  WriteFile(dir.File("empty.xmlz"), "");
  EXPECT_EQ(doc->Load(dir.File("empty.xmlz").c_str()), 1);
  EXPECT_EQ(doc->IsWellFormed(), 0);
  EXPECT_EQ(doc->Load(dir.File("none.xml").c_str()), 0);
}

TEST(XmlDocumentTest, AttributeEdges) {
  Doc doc;
  EXPECT_EQ(doc->SetAttrib("a", "1"), 0);  // no main element
  ASSERT_EQ(doc->SetDoc("<r a=\"abcdef\" e=\"\"/>"), 1);
  ASSERT_EQ(doc->FindElem(nullptr), 1);
  char buffer[8] = "zzzzzzz";
  EXPECT_EQ(doc->GetAttrib("a", nullptr, 8), 0);
  EXPECT_EQ(doc->GetAttrib("a", buffer, 0), 0);
  EXPECT_EQ(doc->GetAttrib("missing", buffer, 8), 0);
  EXPECT_STREQ(buffer, "zzzzzzz");
  EXPECT_EQ(doc->GetAttrib("a", buffer, 4), 1);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(doc->GetAttrib("a", buffer, 1), 1);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(doc.Attr("e"), "");
  EXPECT_EQ(doc->GetChildAttrib("a", buffer, 8), 0);  // no child position
  EXPECT_EQ(doc->SetAttribInt("a", -2147483647 - 1), 1);
  EXPECT_EQ(doc.Attr("a"), "-2147483648");
  EXPECT_EQ(doc->SetAttrib2("new", nullptr), 1);
  EXPECT_EQ(doc.Attr("new"), "");
  // Names that would not parse again are refused.
  for (const char* bad : {"", "1a", "a b", "a>", "a=\"x\""}) {
    EXPECT_EQ(doc->SetAttrib(bad, "v"), 0) << bad;
    EXPECT_EQ(doc->AddElem(bad, "v", 0), 0) << bad;
  }
  EXPECT_EQ(doc->SetAttrib(nullptr, "v"), 0);
}

TEST(XmlDocumentTest, Utf8DocumentsConvertToTheNarrowCharacterSet) {
  TempDir dir;
  std::string path = dir.File("u.xml");
  WriteFile(path, "\xEF\xBB\xBF<r v=\"caf\xC3\xA9\"/>");
  std::string saved = setlocale(LC_CTYPE, nullptr);
  Doc doc;
  ASSERT_EQ(doc->Load(path.c_str()), 1);
  ASSERT_EQ(doc->FindElem("r"), 1);
  setlocale(LC_CTYPE, "C");  // ASCII: what it cannot hold becomes '?'
  EXPECT_EQ(doc.Attr("v"), "caf?");
  if (setlocale(LC_CTYPE, "C.UTF-8") != nullptr) EXPECT_EQ(doc.Attr("v"), "caf\xC3\xA9");
  setlocale(LC_CTYPE, "C");
  // Without the mark the bytes pass unchanged; with it, save keeps it.
  ASSERT_EQ(doc->Save(path.c_str()), 1);
  EXPECT_EQ(ReadFile(path).substr(0, 3), "\xEF\xBB\xBF");
  ASSERT_EQ(doc->SetDoc("<r v=\"caf\xC3\xA9\"/>"), 1);
  ASSERT_EQ(doc->FindElem("r"), 1);
  EXPECT_EQ(doc.Attr("v"), "caf\xC3\xA9");
  setlocale(LC_CTYPE, saved.c_str());
}

TEST(XmlDocumentTest, RemovingElementsMovesTheCursorBack) {
  Doc doc;
  ASSERT_EQ(doc->SetDoc("<?xml version=\"1.0\"?><r><a/><!--c--><b/></r>"), 1);
  ASSERT_EQ(doc->InsertElem("top", "", 0), 1);  // after the declaration
  ASSERT_EQ(doc->FindElem("r"), 1);
  ASSERT_EQ(doc->FindChildElem("b"), 1);
  ASSERT_EQ(doc->IntoElem(), 1);
  ASSERT_EQ(doc->RemoveElem(), 1);  // b goes; main = the comment
  EXPECT_EQ(doc->RemoveElem(), 0);  // not an element
  ASSERT_EQ(doc->RemoveNode(), 1);  // the comment goes; nothing follows it
  EXPECT_EQ(doc->RemoveNode(), 0);
  ASSERT_EQ(doc->FindElem("a"), 1);
  ASSERT_EQ(doc->RemoveElem(), 1);  // first child: main = none
  EXPECT_EQ(doc->FindElem(nullptr), 0);
  TempDir dir;
  std::string path = dir.File("r.xml");
  ASSERT_EQ(doc->Save(path.c_str()), 1);
  std::string text = ReadFile(path);
  EXPECT_EQ(text.find("<?xml"), 0u);
  EXPECT_LT(text.find("<top"), text.find("<r"));
  EXPECT_EQ(text.find("<a"), std::string::npos);
}

TEST(XmlDocumentTest, SaveReplacesAPlantedLinkAndFailsCleanly) {
  TempDir dir;
  std::string victim = dir.File("victim");
  WriteFile(victim, "keep");
  std::string target = dir.File("t.xml");
  ASSERT_EQ(symlink(victim.c_str(), target.c_str()), 0);
  Doc doc;
  ASSERT_EQ(doc->SetDoc("<r/>"), 1);
  ASSERT_EQ(doc->Save(target.c_str()), 1);
  EXPECT_EQ(ReadFile(victim), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(target));
  EXPECT_EQ(doc->Save(dir.File("missing/folder/t.xml").c_str()), 0);
  Doc empty;
  EXPECT_EQ(empty->Save(dir.File("e.xml").c_str()), 0);  // no document
}

// One instance from several threads, one call at a time: no add is lost.
TEST(XmlDocumentTest, CallsFromSeveralThreadsAreSerialised) {
  Doc doc;
  ASSERT_EQ(doc->SetDoc("<r/>"), 1);
  ASSERT_EQ(doc->FindElem("r"), 1);
  constexpr int kThreads = 4;
  constexpr int kAdds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&doc, t] {
      char buffer[16];
      for (int i = 0; i < kAdds; ++i) {
        doc->AddChildElemInt("e", t * kAdds + i, 0);
        doc->GetChildAttrib("x", buffer, sizeof(buffer));
        doc->FindChildElem(nullptr);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  doc->ResetChildPos();
  int count = 0;
  while (doc->FindChildElem("e")) ++count;
  EXPECT_EQ(count, kThreads * kAdds);
}

}  // namespace
