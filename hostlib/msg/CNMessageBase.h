// CNMessageBase: a message of the platform's message library. A message
// belongs to a class known by (group, number), with a 32-bit tag id and a tag
// name, and holds fields addressed by (number, slot, tag id of the owning
// class, key). A field holds a string, a signed 64-bit integer, a sub-object
// (another message) or a list of strings. The slot identifies the field
// within its message; reads of integer fields pass the slot only.
//
// Classes are registered once (CNMessageRegistry) with a factory, so that a
// message parsed from XML is an object of its registered C++ class.
//
// XML form (documented in docs/protocol.md): the document is one element
// <msg> with attributes group, number, tag (0x%08X), name; each field is a
// child element by type: <str>, <i64>, <obj>, <list> (with <item> children),
// with attributes slot, num, key (and for <obj> the sub-object's group,
// number, tag, name). Fields are written in ascending slot order, so
// serialize(parse(serialize(m))) == serialize(m) byte for byte.
//
// Reading is strict: a document that is not a message, a field of an unknown
// type or with bad attributes, a missing or unknown class, a class other than
// the object's, or a document over the size or depth limits gives a non-zero
// status and leaves the object as it was.
//
// Thread safety: a message is used by one thread at a time. The registry is
// filled at library load and read-only afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

class CRnFile;

// Status values of the XML readers (0 is success).
enum CNXmlStatus : int {
  CNXML_OK = 0,
  CNXML_IO_ERROR = 1,
  CNXML_PARSE_ERROR = 2,      // not well-formed XML
  CNXML_NOT_A_MESSAGE = 3,    // root is not <msg>, or bad group/number/tag attributes
  CNXML_UNKNOWN_CLASS = 4,    // (group, number) or tag id not registered, or they disagree
  CNXML_CLASS_MISMATCH = 5,   // a valid message of another class than the object's
  CNXML_BAD_FIELD = 6,        // unknown element, bad or duplicate slot, bad value
  CNXML_TOO_LARGE = 7,        // over the size limit
  CNXML_TOO_DEEP = 8,         // sub-objects nested past the depth limit
};
WZ_EXPORT const char* CNXmlStatusText(int status);

class WZ_EXPORT CNMessageBase {
 public:
  // Limits of the readers.
  static constexpr size_t kMaxXmlBytes = 1u << 20;
  static constexpr int kMaxDepth = 8;
  static constexpr size_t kMaxFields = 4096;

  // Builds an empty message of a class; an unregistered class gets tag id 0
  // and the tag name "Unknown".
  CNMessageBase(int group, int number);
  CNMessageBase(const CNMessageBase& other);
  CNMessageBase& operator=(const CNMessageBase& other);
  virtual ~CNMessageBase();

  int getGroup() const { return m_group; }
  int getNumber() const { return m_number; }
  uint32_t getTagID() const { return m_tagId; }
  const char* getTagName() const { return m_tagName.c_str(); }

  // Strings. A missing field or a field of another type reads as "".
  std::string getstring(int number, int slot, uint32_t tag, uint32_t key) const;
  void setstring(int number, int slot, const std::string& value, uint32_t tag, uint32_t key);
  // Integers. A missing field or a field of another type reads as 0.
  int64_t getint64(int slot, uint32_t tag, uint32_t key) const;
  void setint64(int number, int slot, int64_t value, uint32_t tag, uint32_t key);
  // Sub-objects. getObjectAccessor returns the sub-object held in the field;
  // when there is none (or the field holds another type) and create is true,
  // an empty object of (group, classNumber) is put into the field first;
  // with create false it returns null then. The reference stays valid until
  // the field is set again or the message is destroyed.
  CNMessageBase* getObjectAccessor(bool create, bool reserved, int number, int slot, uint32_t tag,
                                   uint32_t key, int group, int classNumber);
  const CNMessageBase* getObject(int slot) const;
  // Stores a copy of the object.
  void setObjectAccessor(const CNMessageBase& object, int number, int slot, uint32_t tag, uint32_t key);
  // Lists of strings.
  void setliststring(int number, int slot, const std::vector<std::string>& values, uint32_t tag, uint32_t key);
  std::vector<std::string> getliststring(int slot, uint32_t tag, uint32_t key) const;

  bool hasField(int slot) const;
  void removeField(int slot);
  size_t fieldCount() const { return m_fields.size(); }

  // XML. serialize returns 0 and sets text; pretty: indented output (the
  // saved files and the wire use false).
  int serialize(std::string& text, bool pretty) const;
  // Writes the XML document to the open file; 0 or a CNXmlStatus.
  int dumpXmlToFile(CRnFile& file) const;
  // Reads the whole file and replaces this message's fields with the
  // document's; the document must be of this object's class.
  int readXmlFromFile(CRnFile& file);
  int readXmlFromString(const std::string& text);
  // Parses a message of any registered class into a new object of its
  // registered C++ class; null and *status set on failure.
  static std::unique_ptr<CNMessageBase> ParseXml(const char* data, size_t length, int* status);

  // Deep copy as an object of the registered C++ class.
  std::unique_ptr<CNMessageBase> Clone() const;

  struct Field;  // internal

 private:
  friend struct CNMessageXml;
  int m_group;
  int m_number;
  uint32_t m_tagId;
  std::string m_tagName;
  std::map<int, std::unique_ptr<Field>> m_fields;  // by slot
};

// Class registry of the message library.
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
  // Registers a class; a second registration of the same (group, number) or
  // tag id is ignored and returns false.
  static bool Register(int group, int number, uint32_t tagId, const std::string& name, Factory factory);
  static const ClassInfo* FindByClass(int group, int number);
  static const ClassInfo* FindByTag(uint32_t tagId);
  static const ClassInfo* FindByName(const std::string& name);
  static std::vector<ClassInfo> All();
  // Makes an empty message of a registered class (null when unknown).
  static std::unique_ptr<CNMessageBase> Create(int group, int number);
};
