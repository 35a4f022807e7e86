// CNMessageBase: a message of the platform's message library. A message
// belongs to a class known by (group, number), with a 32-bit tag id and a tag
// name, and holds fields addressed by (number, slot, tag id of the owning
// class, key). A field holds a string, a signed 64-bit integer, a sub-object
// (another message) or a list of strings. The slot identifies the field
// within its message: reads look a field up by slot alone, and setting a
// field replaces whatever the slot held, whatever its type. The number and
// the key are stored with the field and written to the XML form; the tag
// argument names the owning class and is not stored.
//
// Classes are registered once (CNMessageRegistry) with a factory, so that a
// message parsed from XML, or a sub-object copied into a field, is an object
// of its registered C++ class. Copies are deep.
//
// XML form (documented in docs/protocol.md): the document is one element
// <msg> with attributes group, number, tag (0x%08X), name; each field is a
// child element by type: <str>, <i64>, <obj>, <list> (with <item> children),
// with attributes slot, num, key (and for <obj> the sub-object's group,
// number, tag, name). A string that XML 1.0 cannot carry byte for byte
// (control characters, carriage return, invalid UTF-8) is written as
// hexadecimal with the attribute enc="hex". Fields are written in ascending
// slot order, so serialize(parse(serialize(m))) == serialize(m) byte for byte.
//
// Reading is strict: a document that is not a message, a field of an unknown
// type or with bad attributes, a missing or unknown class, a class other than
// the object's, or a document over the size, depth or field-count limits
// gives a non-zero status and leaves the object as it was.
//
// Thread safety: a message is used by one thread at a time; distinct
// messages may be used from distinct threads. The registry is safe for
// concurrent use without external synchronisation.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

class CRnFile;

// Status values of the XML readers and writers (0 is success).
enum CNXmlStatus : int {
  CNXML_OK = 0,
  CNXML_IO_ERROR = 1,
  CNXML_PARSE_ERROR = 2,     // not well-formed XML, or a DOCTYPE
  CNXML_NOT_A_MESSAGE = 3,   // root is not <msg>, or bad group/number/tag attributes
  CNXML_UNKNOWN_CLASS = 4,   // (group, number) or tag id not registered, or they disagree
  CNXML_CLASS_MISMATCH = 5,  // a valid message of another class than the object's
  CNXML_BAD_FIELD = 6,       // unknown element, bad or duplicate slot, bad value
  CNXML_TOO_LARGE = 7,       // over the size limit or the field-count limit
  CNXML_TOO_DEEP = 8,        // sub-objects nested past the depth limit
  CNXML_NO_MEMORY = 9,       // an allocation failed
};
WZ_EXPORT const char* CNXmlStatusText(int status);

// What a field holds (CNFIELD_NONE: no field in that slot).
enum CNFieldType : int {
  CNFIELD_NONE = 0,
  CNFIELD_STRING = 1,
  CNFIELD_INT64 = 2,
  CNFIELD_OBJECT = 3,
  CNFIELD_LIST = 4,
};

class WZ_EXPORT CNMessageBase {
 public:
  // Limits of the readers; the writers refuse a message that the readers
  // would refuse, so whatever is written can be read back.
  // kMaxXmlBytes: size of a document. kMaxDepth: nesting of sub-objects (the
  // root is depth 0, its sub-objects depth 1). kMaxFields: field elements in
  // a whole document, sub-objects' fields included (list items not counted).
  static constexpr size_t kMaxXmlBytes = 1u << 20;
  // The largest document the writers produce and the most a reader takes
  // when its caller allows more than kMaxXmlBytes (ParseXml's maxBytes):
  // replies such as the listing of a large configuration. Requests stay
  // within kMaxXmlBytes (and within the transport's frame limit).
  static constexpr size_t kMaxLargeXmlBytes = 64u << 20;
  static constexpr int kMaxDepth = 8;
  static constexpr size_t kMaxFields = 4096;

  // Builds an empty message of a class; an unregistered class gets tag id 0
  // and the tag name "Unknown".
  CNMessageBase(int group, int number);
  CNMessageBase(const CNMessageBase& other);
  CNMessageBase& operator=(const CNMessageBase& other);
  // A moved-from message keeps its class and has no fields.
  CNMessageBase(CNMessageBase&& other) noexcept;
  CNMessageBase& operator=(CNMessageBase&& other) noexcept;
  virtual ~CNMessageBase();

  int getGroup() const { return m_group; }
  int getNumber() const { return m_number; }
  uint32_t getTagID() const { return m_tagId; }
  // Points to storage that lives as long as the process.
  const char* getTagName() const { return m_tagName; }

  // Strings. A missing field or a field of another type reads as "".
  std::string getstring(int number, int slot, uint32_t tag, uint32_t key) const;
  void setstring(int number, int slot, const std::string& value, uint32_t tag, uint32_t key);
  // Integers. A missing field or a field of another type reads as 0.
  int64_t getint64(int slot, uint32_t tag, uint32_t key) const;
  void setint64(int number, int slot, int64_t value, uint32_t tag, uint32_t key);
  // Sub-objects. getObjectAccessor returns the sub-object held in the field
  // when it is of class (group, classNumber). Otherwise (no field, a field of
  // another type, or a sub-object of another class), with create true an
  // empty object of (group, classNumber) is put into the field first and
  // returned; with create false it returns null. The object is of the class's
  // registered C++ type, so a caller may downcast it. The pointer stays valid
  // until the field is set or removed again or the message is destroyed or
  // assigned to. `reserved` is ignored.
  CNMessageBase* getObjectAccessor(bool create, bool reserved, int number, int slot, uint32_t tag, uint32_t key,
                                   int group, int classNumber);
  // The sub-object in the slot, of any class; null when the slot holds none.
  const CNMessageBase* getObject(int slot) const;
  // Stores a copy of the object (cloned as its registered C++ class).
  void setObjectAccessor(const CNMessageBase& object, int number, int slot, uint32_t tag, uint32_t key);
  // Lists of strings. A missing field or a field of another type reads as
  // an empty list.
  void setliststring(int number, int slot, const std::vector<std::string>& values, uint32_t tag, uint32_t key);
  void setliststring(int number, int slot, std::vector<std::string>&& values, uint32_t tag, uint32_t key);
  std::vector<std::string> getliststring(int slot, uint32_t tag, uint32_t key) const;

  bool hasField(int slot) const;
  CNFieldType fieldType(int slot) const;
  void removeField(int slot);
  size_t fieldCount() const { return m_fields.size(); }

  // XML. serialize returns 0 and sets text, or a CNXmlStatus and leaves text
  // unchanged: CNXML_UNKNOWN_CLASS when the message or a sub-object is of an
  // unregistered class, CNXML_TOO_DEEP / CNXML_TOO_LARGE past the readers'
  // limits. pretty: indented output (the saved files and the wire use false).
  int serialize(std::string& text, bool pretty) const;
  // Writes the XML document (exactly serialize's text) to the open file from
  // its current offset and cuts a regular file off after it, so that an older,
  // longer document leaves no tail; 0 or a CNXmlStatus.
  int dumpXmlToFile(CRnFile& file) const;
  // Reads the whole file and replaces this message's fields with the
  // document's; the document must be of this object's class
  // (CNXML_CLASS_MISMATCH otherwise). On any failure the object is unchanged.
  int readXmlFromFile(CRnFile& file);
  int readXmlFromString(const std::string& text);
  // Parses a message of any registered class into a new object of its
  // registered C++ class; null and *status (when status is not null) set on
  // failure, *status = 0 on success.
  // maxBytes: the largest document accepted (at most kMaxLargeXmlBytes).
  static std::unique_ptr<CNMessageBase> ParseXml(const char* data, size_t length, int* status,
                                                 size_t maxBytes = kMaxXmlBytes);

  // Deep copy as an object of the registered C++ class.
  std::unique_ptr<CNMessageBase> Clone() const;

  struct Field;  // internal

 private:
  friend struct CNMessageXml;
  int m_group;
  int m_number;
  uint32_t m_tagId;
  const char* m_tagName;                           // the registry's copy, or a literal
  std::map<int, std::unique_ptr<Field>> m_fields;  // by slot
};

// Class registry of the message library. Entries are never removed, so the
// pointers it hands out stay valid for the life of the process. The network
// layer's two control notices are registered by the library itself: group 9,
// number 258, tag 0x09000102 "Disconnect" and number 259, tag 0x09000103
// "Abort".
//
// Thread safety: every function may be called from any thread at once.
class WZ_EXPORT CNMessageRegistry {
 public:
  typedef CNMessageBase* (*Factory)();
  struct ClassInfo {
    int group;
    int number;
    uint32_t tagId;
    std::string name;
    Factory factory;  // may be null: a plain CNMessageBase is made
  };
  // Registers a class. A second registration of the same (group, number),
  // tag id or name is ignored and returns false, as is tag id 0 or an empty
  // name.
  static bool Register(int group, int number, uint32_t tagId, const std::string& name, Factory factory);
  static const ClassInfo* FindByClass(int group, int number);
  static const ClassInfo* FindByTag(uint32_t tagId);
  static const ClassInfo* FindByName(const std::string& name);
  // Every registered class, in registration order.
  static std::vector<ClassInfo> All();
  // Makes an empty message of a registered class (null when unknown).
  static std::unique_ptr<CNMessageBase> Create(int group, int number);
};

// The network layer's control notices.
namespace CNControlNotice {
constexpr int kGroup = 9;
constexpr int kDisconnectNumber = 258;
constexpr uint32_t kDisconnectTag = 0x09000102u;
constexpr int kAbortNumber = 259;
constexpr uint32_t kAbortTag = 0x09000103u;
}  // namespace CNControlNotice
