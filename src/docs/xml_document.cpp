// XML document components (1121 and 1): a TinyXML element tree behind a
// three-position cursor, plain or keyed files, and code-page conversion of
// names and values while the document is UTF-8.
//
// Every operation takes the instance's lock for its whole duration, so the
// cursor's three nodes always point into the tree the lock guards. Removing
// a node clears every position that could point into it before it is freed.
#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <tinyxml.h>

#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "frame/component_base.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"
#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "gavio/xml.h"
#include "host/factories.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace gavio {
namespace {

// The key of keyed documents: five ASCII characters, then zero bytes.
// Keyed files made under another key do not decipher.
constexpr uint8_t kDocumentKey[kCipherKeySize] = {'G', 'v', 'X', 'm', 'l'};
// Documents are configuration files; anything larger is refused unread.
constexpr size_t kMaxDocumentBytes = 64u << 20;
constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";
// Zero bytes after a text handed to the parser: more than the longest
// UTF-8 sequence it may step over.
constexpr size_t kParsePadding = 8;

bool HasKeyedExtension(const char* path) {
  const char* dot = strrchr(path, '.');
  return dot != nullptr && strcasecmp(dot + 1, "xmlz") == 0;
}

bool StartsWithUtf8Mark(const char* text) { return strncmp(text, kUtf8Mark, 3) == 0; }

// The narrow character set of this process (the "ANSI code page").
const char* AnsiCodeSet() {
  const char* set = nl_langinfo(CODESET);
  return set != nullptr && *set != '\0' ? set : "ANSI_X3.4-1968";
}

bool IsUtf8Name(const char* set) {
  return strcasecmp(set, "UTF-8") == 0 || strcasecmp(set, "UTF8") == 0;
}

// Converts text between character sets through iconv; an input byte
// sequence the source set does not hold, or a character the target cannot
// hold, becomes '?'. A set iconv does not know leaves the text unchanged.
std::string ConvertText(const std::string& text, const char* to, const char* from) {
  if (strcasecmp(to, from) == 0) return text;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;
  const bool fromUtf8 = IsUtf8Name(from);
  std::string out;
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char chunk[512];
  while (inLeft > 0) {
    char* outPtr = chunk;
    size_t outLeft = sizeof(chunk);
    size_t done = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(chunk, sizeof(chunk) - outLeft);
    if (done == static_cast<size_t>(-1) && errno != E2BIG) {
      // EILSEQ or EINVAL: stand in for the character and skip it (all of
      // its bytes when the source is UTF-8).
      out.push_back('?');
      ++in;
      --inLeft;
      while (fromUtf8 && inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80) {
        ++in;
        --inLeft;
      }
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

// XML names: a letter, '_', ':' or a non-ASCII byte, then also digits, '-'
// and '.'. Anything else would save as text that no longer parses.
bool IsXmlName(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  auto isStart = [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
  };
  if (!isStart(static_cast<unsigned char>(*name))) return false;
  for (const char* p = name + 1; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (!isStart(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  }
  return true;
}

// The node after which an element inserted first on container's level
// goes: a leading declaration of the document stays first.
TiXmlNode* InsertAnchor(TiXmlNode* container) {
  TiXmlNode* first = container->FirstChild();
  if (first != nullptr && container->ToDocument() != nullptr && first->ToDeclaration() != nullptr) {
    return first;
  }
  return nullptr;
}

template <uint32_t kId>
class CXmlDocument final : public Component<kId, IXmlDocument> {
 public:
  CXmlDocument() : log_(nullptr, kId) {}

  int32_t SetDoc(const char* text) override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (text == nullptr) return Refuse(ERROR_INVALID_PARAMETER);
    return ParseText(text);
  }

  int32_t Load(const char* path) override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (path == nullptr || *path == '\0') return Refuse(ERROR_INVALID_PARAMETER);
    if (HasKeyedExtension(path)) return LoadKeyed(path);
    char* data = nullptr;
    size_t size = 0;
    if (GavioReadSmallFile(path, kMaxDocumentBytes, &data, &size)) {
      int32_t parsed = ParseText(data);
      free(data);
      return parsed;
    }
    if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) {
      log_.Error("CXmlDocument::Load(), cannot read %s", path);
      return 0;
    }
    int32_t keyed = LoadKeyed((std::string(path) + "z").c_str());
    if (keyed == 0 && !document_) document_ = std::make_unique<TiXmlDocument>();
    return keyed;
  }

  int32_t Reserved7() override { return 0; }

  int32_t IsWellFormed() override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    return document_ && document_->RootElement() != nullptr ? 1 : 0;
  }

  int32_t FindElem(const char* name) override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    return FindElemLocked(name);
  }

  int32_t FindChildElem(const char* name) override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (main_ == nullptr && !FindElemLocked(nullptr)) return 0;
    if (main_->ToElement() == nullptr) return 0;
    TiXmlNode* from = child_ != nullptr ? child_->NextSibling() : main_->FirstChild();
    TiXmlElement* hit = NextElement(from, name);
    if (hit == nullptr) return 0;
    child_ = hit;
    return 1;
  }

  int32_t IntoElem() override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (main_ == nullptr || main_->ToElement() == nullptr) return 0;
    parent_ = main_;
    main_ = child_;
    child_ = nullptr;
    return 1;
  }

  int32_t OutOfElem() override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (parent_ == nullptr) return 0;
    child_ = main_;
    main_ = parent_;
    TiXmlNode* up = parent_->Parent();
    // The document node itself stands for "no parent": the top level.
    parent_ = up != nullptr && up->ToDocument() == nullptr ? up : nullptr;
    return 1;
  }

  void ResetChildPos() override {
    GAVIO_HOLD_OR_RETURN();
    std::lock_guard<std::mutex> lock(mutex_);
    child_ = nullptr;
  }

  void ResetMainPos() override {
    GAVIO_HOLD_OR_RETURN();
    std::lock_guard<std::mutex> lock(mutex_);
    main_ = child_ = nullptr;
  }

  void ResetPos() override {
    GAVIO_HOLD_OR_RETURN();
    std::lock_guard<std::mutex> lock(mutex_);
    ClearCursor();
  }

  int32_t Reserved16() override { return 0; }
  int32_t Reserved17() override { return 0; }
  int32_t Reserved18() override { return 0; }
  int32_t Reserved19() override { return 0; }
  int32_t Reserved20() override { return 0; }

  int32_t GetAttrib(const char* name, char* buffer, int32_t capacity) override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    return ReadAttribute(main_, name, buffer, capacity);
  }

  int32_t GetChildAttrib(const char* name, char* buffer, int32_t capacity) override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    return ReadAttribute(child_, name, buffer, capacity);
  }

  int32_t Reserved23() override { return 0; }
  int32_t Reserved24() override { return 0; }
  int32_t Reserved25() override { return 0; }
  int32_t Reserved26() override { return 0; }
  int32_t Reserved27() override { return 0; }
  int32_t Reserved28() override { return 0; }
  int32_t Reserved29() override { return 0; }

  int32_t Save(const char* path) override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (path == nullptr || *path == '\0' || !document_) return Refuse(ERROR_INVALID_PARAMETER);
    TiXmlPrinter printer;
    document_->Accept(&printer);
    std::string text = utf8_ ? std::string(kUtf8Mark) + printer.CStr() : printer.CStr();
    if (HasKeyedExtension(path) && !Encipher(&text)) return 0;
    if (!GavioWriteFileAtomic(path, text.data(), text.size(), 0)) {
      log_.Error("CXmlDocument::Save(), cannot write %s", path);
      return 0;
    }
    return 1;
  }

  int32_t Reserved31() override { return 0; }

  int32_t AddElemInt(const char* name, int32_t value, int32_t flags) override {
    return AddElem(name, std::to_string(value).c_str(), flags);
  }
  int32_t AddElem(const char* name, const char* value, int32_t flags) override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    return AddElement(name, value, flags);
  }
  int32_t InsertElemInt(const char* name, int32_t value, int32_t flags) override {
    return AddElemInt(name, value, flags | kXmlInsertFirst);
  }
  int32_t InsertElem(const char* name, const char* value, int32_t flags) override {
    return AddElem(name, value, flags | kXmlInsertFirst);
  }
  int32_t AddChildElemInt(const char* name, int32_t value, int32_t flags) override {
    return AddElemInt(name, value, flags | kXmlAsChild);
  }
  int32_t AddChildElem(const char* name, const char* value, int32_t flags) override {
    return AddElem(name, value, flags | kXmlAsChild);
  }
  int32_t InsertChildElemInt(const char* name, int32_t value, int32_t flags) override {
    return AddElemInt(name, value, flags | kXmlAsChild | kXmlInsertFirst);
  }
  int32_t InsertChildElem(const char* name, const char* value, int32_t flags) override {
    return AddElem(name, value, flags | kXmlAsChild | kXmlInsertFirst);
  }

  int32_t SetAttribInt(const char* name, int32_t value) override {
    return SetAttrib(name, std::to_string(value).c_str());
  }
  int32_t SetAttrib(const char* name, const char* value) override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (main_ == nullptr || main_->ToElement() == nullptr || !IsXmlName(name)) return 0;
    main_->ToElement()->SetAttribute(ToTree(name), ToTree(value != nullptr ? value : ""));
    return 1;
  }

  int32_t Reserved42() override { return 0; }
  int32_t Reserved43() override { return 0; }
  int32_t Reserved44() override { return 0; }
  int32_t Reserved45() override { return 0; }
  int32_t Reserved46() override { return 0; }
  int32_t Reserved47() override { return 0; }
  int32_t Reserved48() override { return 0; }
  int32_t Reserved49() override { return 0; }
  int32_t Reserved50() override { return 0; }
  int32_t Reserved51() override { return 0; }

  int32_t RemoveElem() override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (main_ == nullptr || main_->ToElement() == nullptr) return 0;
    Unlink(main_->PreviousSibling());
    return 1;
  }

  int32_t Reserved53() override { return 0; }

  int32_t RemoveNode() override {
    GAVIO_HOLD_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (main_ == nullptr) return 0;
    Unlink(main_->ToElement() != nullptr ? main_->PreviousSibling() : main_->NextSibling());
    return 1;
  }

  int32_t Reserved55() override { return 0; }

  int32_t SetAttribInt2(const char* name, int32_t value) override {
    return SetAttribInt(name, value);
  }
  int32_t SetAttrib2(const char* name, const char* value) override {
    return SetAttrib(name, value);
  }

  void ComponentFinalize() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearCursor();
    document_.reset();
  }

 private:
  int32_t Refuse(DWORD error) {
    SetLastError(error);
    return 0;
  }

  void ClearCursor() { parent_ = main_ = child_ = nullptr; }

  // Replaces the document with the parse of text; a failed parse leaves an
  // empty document, so no earlier content passes for the new file.
  int32_t ParseText(const char* text) {
    ClearCursor();
    utf8_ = StartsWithUtf8Mark(text);
    document_ = std::make_unique<TiXmlDocument>();
    // The parser steps over a UTF-8 lead byte by its declared length without
    // looking for the terminator, so a text cut inside a character would be
    // read past its end: it parses a copy followed by zero bytes instead.
    std::string padded(text);
    padded.append(kParsePadding, '\0');
    document_->Parse(padded.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    if (!document_->Error()) return 1;
    log_.Error("CXmlDocument::SetDoc(), %s at row %d column %d", document_->ErrorDesc(),
               document_->ErrorRow(), document_->ErrorCol());
    document_ = std::make_unique<TiXmlDocument>();
    return Refuse(ERROR_INVALID_DATA);
  }

  // Deciphers a keyed file and parses it. A file that cannot be read or
  // does not decipher leaves the document as it was; an empty file is an
  // empty document.
  int32_t LoadKeyed(const char* path) {
    TGavioPtr cipherPtr(nullptr, kBlockCipherId);
    if (!cipherPtr) {
      log_.Error("CXmlDocument::LoadKeyed(), no block cipher");
      return 0;
    }
    char* data = nullptr;
    size_t size = 0;
    if (!GavioReadSmallFile(path, kMaxDocumentBytes, &data, &size)) return 0;
    std::unique_ptr<char, decltype(&free)> cipherText(data, &free);
    if (size == 0) {
      ClearCursor();
      utf8_ = false;
      document_ = std::make_unique<TiXmlDocument>();
      return 1;
    }
    std::string plain(size, '\0');
    int32_t plainLength = static_cast<int32_t>(size);
    if (!cipherPtr.As<IBlockCipher>()->Decrypt(data, static_cast<int32_t>(size), kDocumentKey,
                                                plain.data(), &plainLength)) {
      log_.Error("CXmlDocument::LoadKeyed(), %s does not decipher", path);
      return Refuse(ERROR_INVALID_DATA);
    }
    plain.resize(static_cast<size_t>(plainLength));
    return ParseText(plain.c_str());
  }

  bool Encipher(std::string* text) {
    TGavioPtr cipherPtr(nullptr, kBlockCipherId);
    if (!cipherPtr) {
      log_.Error("CXmlDocument::Save(), no block cipher");
      SetLastError(ERROR_INVALID_FUNCTION);
      return false;
    }
    IBlockCipher* cipher = cipherPtr.As<IBlockCipher>();
    uint32_t length = cipher->EncryptedLength(static_cast<uint32_t>(text->size()));
    if (length == 0) {
      SetLastError(ERROR_INVALID_DATA);
      return false;
    }
    std::string out(length, '\0');
    cipher->Encrypt(text->data(), static_cast<uint32_t>(text->size()), kDocumentKey, out.data(),
                    &length);
    out.resize(length);
    text->swap(out);
    return true;
  }

  int32_t FindElemLocked(const char* name) {
    TiXmlNode* from;
    if (main_ != nullptr) {
      from = main_->NextSibling();
    } else if (parent_ != nullptr) {
      from = parent_->FirstChild();
    } else {
      from = document_ ? document_->FirstChild() : nullptr;
    }
    TiXmlElement* hit = NextElement(from, name);
    if (hit == nullptr) return 0;
    main_ = hit;
    child_ = nullptr;
    return 1;
  }

  // The first element from node on (node included) named name, any for null.
  TiXmlElement* NextElement(TiXmlNode* node, const char* name) {
    std::string wanted = name != nullptr ? ToTree(name) : std::string();
    for (; node != nullptr; node = node->NextSibling()) {
      TiXmlElement* element = node->ToElement();
      if (element != nullptr && (name == nullptr || wanted == element->Value())) return element;
    }
    return nullptr;
  }

  int32_t ReadAttribute(TiXmlNode* node, const char* name, char* buffer, int32_t capacity) {
    if (node == nullptr || node->ToElement() == nullptr || name == nullptr) return 0;
    const char* value = node->ToElement()->Attribute(ToTree(name).c_str());
    if (value == nullptr || buffer == nullptr || capacity <= 0) return 0;
    std::string text = FromTree(value);
    size_t length = text.size() < static_cast<size_t>(capacity) ? text.size()
                                                                : static_cast<size_t>(capacity) - 1;
    memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return 1;
  }

  int32_t AddElement(const char* name, const char* value, int32_t flags) {
    if (!IsXmlName(name)) return Refuse(ERROR_INVALID_NAME);
    TiXmlNode* container;
    if ((flags & kXmlAsChild) != 0) {
      if (main_ == nullptr || main_->ToElement() == nullptr) return 0;
      container = main_;
    } else if (parent_ != nullptr) {
      container = parent_;
    } else {
      if (!document_) document_ = std::make_unique<TiXmlDocument>();
      container = document_.get();
    }
    auto element = std::make_unique<TiXmlElement>(ToTree(name));
    if (value != nullptr && *value != '\0') {
      element->LinkEndChild(new TiXmlText(ToTree(value)));
    }
    TiXmlNode* added = Place(container, element.release(), (flags & kXmlInsertFirst) != 0);
    if ((flags & kXmlAsChild) != 0) {
      child_ = added;
    } else {
      main_ = added;
      child_ = nullptr;
    }
    return 1;
  }

  // Links element into container (which takes it) and returns it.
  TiXmlNode* Place(TiXmlNode* container, TiXmlElement* element, bool first) {
    if (!first) return container->LinkEndChild(element);
    TiXmlNode* anchor = InsertAnchor(container);
    TiXmlNode* before = anchor != nullptr ? anchor->NextSibling() : container->FirstChild();
    if (before == nullptr) return container->LinkEndChild(element);
    // InsertBeforeChild copies; link our own node so the cursor points at
    // what sits in the tree.
    TiXmlNode* placed = container->InsertBeforeChild(before, *element);
    delete element;
    return placed;
  }

  // Frees the node at the main position with its subtree; next becomes the
  // main position.
  void Unlink(TiXmlNode* next) {
    TiXmlNode* gone = main_;
    main_ = next;
    child_ = nullptr;
    gone->Parent()->RemoveChild(gone);
  }

  std::string ToTree(const char* text) const {
    if (!utf8_ || IsUtf8Name(AnsiCodeSet())) return text;
    return ConvertText(text, "UTF-8", AnsiCodeSet());
  }

  std::string FromTree(const char* text) const {
    if (!utf8_ || IsUtf8Name(AnsiCodeSet())) return text;
    return ConvertText(text, AnsiCodeSet(), "UTF-8");
  }

  LogSink log_;
  std::mutex mutex_;
  std::unique_ptr<TiXmlDocument> document_;
  TiXmlNode* parent_ = nullptr;
  TiXmlNode* main_ = nullptr;
  TiXmlNode* child_ = nullptr;
  bool utf8_ = false;
};

}  // namespace

IComponent* NewXmlDocument() { return new (std::nothrow) CXmlDocument<kXmlDocumentId>(); }
IComponent* NewXmlDocumentAlt() { return new (std::nothrow) CXmlDocument<kXmlDocumentAltId>(); }

}  // namespace gavio
