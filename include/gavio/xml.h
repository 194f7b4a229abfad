// XML documents (1121, and 1 with the same behaviour): an element tree
// loaded from a file or from text, walked with a cursor of three positions,
// edited and saved again.
//
// The cursor: the main position is the current element; the parent
// position is the element whose children the main position walks (none =
// the document's top level); the child position is the current child of
// the main element. Resetting a position clears it and every position
// below it. Operations that find no main element, no parent or no match
// return 0 and leave the cursor as it was.
//
// Keyed documents: a path whose extension is "xmlz" (any case) holds the
// XML text enciphered with the block cipher (64) under the library's fixed
// document key. Load and save both honour it.
//
// Text: when the text last parsed began with EF BB BF (UTF-8 flag), names
// and values passed in are converted from the ANSI code page (the locale's
// character set) to UTF-8 and values read out are converted back;
// characters the target cannot hold become '?'. Without the flag bytes pass
// unchanged.
//
// Thread safety: every operation holds the instance's lock for its whole
// duration; the cursor is shared by every caller of the instance.
#pragma once

#include <stdint.h>

#include "gavio/component.h"

namespace gavio {

// Flags of the add-element operations.
inline constexpr int32_t kXmlInsertFirst = 0x2000;  // before the first node of the level
inline constexpr int32_t kXmlAsChild = 0x4000;      // among the main element's children

class IXmlDocument : public IComponent {
 public:
  // 5: 1 when the text parsed into a document. Clears the cursor and sets
  // the UTF-8 flag from the first three bytes. Malformed text gives 0, an
  // empty document and ERROR_INVALID_DATA.
  virtual int32_t SetDoc(const char* text) = 0;
  // 6: "xmlz" paths load keyed. Any other existing file is read whole and
  // parsed (as 5); a missing one is tried keyed with "z" appended. 0 when
  // nothing could be read or parsed; a keyed file that does not decipher
  // leaves the document as it was.
  virtual int32_t Load(const char* path) = 0;
  // 7: reserved; returns 0.
  virtual int32_t Reserved7() = 0;
  // 8: 1 when a document with a root element is loaded.
  virtual int32_t IsWellFormed() = 0;
  // 9: the next element named name (any element for null) after the main
  // position, on the parent position's level; it becomes the main position
  // and the child position is cleared.
  virtual int32_t FindElem(const char* name) = 0;
  // 10: the next child of the main element named name (any for null)
  // after the child position; it becomes the child position. Without a
  // main position FindElem(null) runs first.
  virtual int32_t FindChildElem(const char* name) = 0;
  // 11: parent <- main, main <- child (possibly none), child cleared.
  virtual int32_t IntoElem() = 0;
  // 12: child <- main, main <- parent, parent <- its own parent.
  virtual int32_t OutOfElem() = 0;
  // 13, 14, 15
  virtual void ResetChildPos() = 0;
  virtual void ResetMainPos() = 0;
  virtual void ResetPos() = 0;
  // 16-20: reserved; return 0.
  virtual int32_t Reserved16() = 0;
  virtual int32_t Reserved17() = 0;
  virtual int32_t Reserved18() = 0;
  virtual int32_t Reserved19() = 0;
  virtual int32_t Reserved20() = 0;
  // 21: copies the main element's attribute into buffer, cut to capacity - 1
  // bytes and terminated. 1 when the attribute exists and the buffer is
  // non-null with a capacity above 0; else 0 and the buffer is untouched.
  virtual int32_t GetAttrib(const char* name, char* buffer, int32_t capacity) = 0;
  // 22: the same for the child element.
  virtual int32_t GetChildAttrib(const char* name, char* buffer, int32_t capacity) = 0;
  // 23-29: reserved; return 0.
  virtual int32_t Reserved23() = 0;
  virtual int32_t Reserved24() = 0;
  virtual int32_t Reserved25() = 0;
  virtual int32_t Reserved26() = 0;
  virtual int32_t Reserved27() = 0;
  virtual int32_t Reserved28() = 0;
  virtual int32_t Reserved29() = 0;
  // 30: writes the document as text (enciphered for an "xmlz" path, led by
  // EF BB BF while the UTF-8 flag is set) beside path and renames it over
  // path. 0 when there is no document or the file cannot be written (the
  // old file is then untouched).
  virtual int32_t Save(const char* path) = 0;
  // 31: reserved; returns 0.
  virtual int32_t Reserved31() = 0;
  // 32-39: adds an element named name with a text node holding the value
  // (none for an empty value). Without kXmlAsChild it goes on the parent
  // position's level (a document is made when there is none) and becomes
  // the main position, the child position cleared; with it, among the main
  // element's children, becoming the child position. kXmlInsertFirst puts
  // it first on its level (after a leading XML declaration), else last.
  // Names that are not XML names are refused (0).
  virtual int32_t AddElemInt(const char* name, int32_t value, int32_t flags) = 0;
  virtual int32_t AddElem(const char* name, const char* value, int32_t flags) = 0;
  virtual int32_t InsertElemInt(const char* name, int32_t value, int32_t flags) = 0;
  virtual int32_t InsertElem(const char* name, const char* value, int32_t flags) = 0;
  virtual int32_t AddChildElemInt(const char* name, int32_t value, int32_t flags) = 0;
  virtual int32_t AddChildElem(const char* name, const char* value, int32_t flags) = 0;
  virtual int32_t InsertChildElemInt(const char* name, int32_t value, int32_t flags) = 0;
  virtual int32_t InsertChildElem(const char* name, const char* value, int32_t flags) = 0;
  // 40, 41: sets (or creates) the main element's attribute. 1 when the main
  // position is an element and name is an XML name.
  virtual int32_t SetAttribInt(const char* name, int32_t value) = 0;
  virtual int32_t SetAttrib(const char* name, const char* value) = 0;
  // 42-51: reserved; return 0.
  virtual int32_t Reserved42() = 0;
  virtual int32_t Reserved43() = 0;
  virtual int32_t Reserved44() = 0;
  virtual int32_t Reserved45() = 0;
  virtual int32_t Reserved46() = 0;
  virtual int32_t Reserved47() = 0;
  virtual int32_t Reserved48() = 0;
  virtual int32_t Reserved49() = 0;
  virtual int32_t Reserved50() = 0;
  virtual int32_t Reserved51() = 0;
  // 52: removes the main element with its subtree; the main position moves
  // to the node before it (none when it was first), the child position is
  // cleared. 0 when the main position is not an element.
  virtual int32_t RemoveElem() = 0;
  // 53: reserved; returns 0.
  virtual int32_t Reserved53() = 0;
  // 54: as 52 for an element; any other node at the main position is
  // unlinked and the main position moves to the node that followed it.
  virtual int32_t RemoveNode() = 0;
  // 55: reserved; returns 0.
  virtual int32_t Reserved55() = 0;
  // 56, 57: as 40, 41.
  virtual int32_t SetAttribInt2(const char* name, int32_t value) = 0;
  virtual int32_t SetAttrib2(const char* name, const char* value) = 0;
  // 58: drops the document.
  virtual void ComponentFinalize() = 0;
};

}  // namespace gavio
