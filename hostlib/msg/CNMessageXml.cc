// The XML form of messages: writing (serialize, dumpXmlToFile) and the strict
// readers (readXmlFromString, readXmlFromFile, ParseXml). docs/protocol.md
// describes the form for writers of other clients.
#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "hostlib/msg/CNMessageBase.h"
#include "hostlib/msg/CNMessageField.h"
#include "hostlib/util/RnFiles.h"

namespace {

// pugixml's defaults (line ends normalised to LF as XML prescribes, which is
// why the writer never leaves a CR in text), and:
// - whitespace-only text is kept when it is an element's only child, so a
//   string of blanks survives, while the blanks between elements of an
//   indented document are dropped;
// - DOCTYPE becomes a node, so that it can be refused;
// - top-level text becomes a node, so that text around the root is refused
//   rather than silently dropped.
constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_ws_pcdata_single | pugi::parse_doctype | pugi::parse_fragment;

// ---- strings that XML 1.0 cannot carry -------------------------------------

// Length of the valid UTF-8 sequence at s[i] whose code point XML 1.0 allows
// in text and that every reader returns unchanged; 0 when there is none.
// Excluded beside invalid UTF-8 (overlong forms, surrogates, past U+10FFFF):
// control characters, carriage return (readers turn line ends into LF),
// U+FFFE and U+FFFF.
size_t XmlSafeSequence(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  if (c < 0x80) return (c >= 0x20 || c == '\t' || c == '\n') ? 1 : 0;
  size_t length;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (length == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF)) return 0;
  if (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;
  return length;
}

bool NeedsHex(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    size_t n = XmlSafeSequence(s, i);
    if (n == 0) return true;
    i += n;
  }
  return false;
}

std::string ToHex(const std::string& s) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(s.size() * 2);
  for (unsigned char c : s) {
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 0x0F]);
  }
  return hex;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool FromHex(const std::string& hex, std::string& out) {
  if (hex.size() % 2 != 0) return false;
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = HexValue(hex[i]);
    int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<char>((high << 4) | low));
  }
  out.swap(bytes);
  return true;
}

// ---- numbers ---------------------------------------------------------------

template <typename T>
bool ParseDecimal(const char* text, T& out) {
  const char* end = text + std::strlen(text);
  if (text == end) return false;
  auto result = std::from_chars(text, end, out, 10);
  return result.ec == std::errc() && result.ptr == end;
}

bool ParseTag(const char* text, uint32_t& out) {
  if (text[0] != '0' || text[1] != 'x' || text[2] == '\0') return false;
  const char* begin = text + 2;
  const char* end = begin + std::strlen(begin);
  auto result = std::from_chars(begin, end, out, 16);
  return result.ec == std::errc() && result.ptr == end;
}

std::string TagText(uint32_t tag) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", tag);
  return text;
}

// ---- attributes --------------------------------------------------------------

// The attributes an element may carry, each at most once. Unknown attributes
// are refused: a misspelt attribute is a client's bug, better found at once.
struct AttributeSpec {
  const char* name;
  const char* value = nullptr;  // set by Collect
};

template <size_t N>
bool CollectAttributes(const pugi::xml_node& node, AttributeSpec (&wanted)[N]) {
  for (const pugi::xml_attribute& attribute : node.attributes()) {
    AttributeSpec* match = nullptr;
    for (AttributeSpec& cfg : wanted) {
      if (std::strcmp(cfg.name, attribute.name()) == 0) match = &cfg;
    }
    if (match == nullptr || match->value != nullptr) return false;
    match->value = attribute.value();
  }
  return true;
}

bool IsBlank(const char* text) {
  for (; *text != '\0'; ++text) {
    if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r') return false;
  }
  return true;
}

// The character data of an element that may hold text only.
bool CollectText(const pugi::xml_node& node, std::string& text) {
  text.clear();
  for (const pugi::xml_node& child : node.children()) {
    if (child.type() != pugi::node_pcdata && child.type() != pugi::node_cdata) return false;
    text += child.value();
  }
  return true;
}

// A string element's value: its text, decoded when enc="hex".
bool ReadStringValue(const pugi::xml_node& node, const char* encoding, std::string& value) {
  std::string text;
  if (!CollectText(node, text)) return false;
  if (encoding == nullptr) {
    value.swap(text);
    return true;
  }
  return std::strcmp(encoding, "hex") == 0 && FromHex(text, value);
}

// Builds the document. pugixml reports a failed allocation through an empty
// handle or a false result rather than an exception; ok remembers it.
class XmlBuilder {
 public:
  bool ok() const { return m_ok; }

  pugi::xml_node Child(pugi::xml_node parent, const char* name) {
    pugi::xml_node node = parent.append_child(name);
    m_ok = m_ok && node;
    return node;
  }
  template <typename T>
  void Attribute(pugi::xml_node node, const char* name, T value) {
    m_ok = m_ok && node.append_attribute(name).set_value(value);
  }
  void Text(pugi::xml_node node, const char* text) {
    m_ok = m_ok && node.append_child(pugi::node_pcdata).set_value(text);
  }
  void StringValue(pugi::xml_node node, const std::string& value) {
    if (NeedsHex(value)) {
      Attribute(node, "enc", "hex");
      Text(node, ToHex(value).c_str());
    } else if (!value.empty()) {
      Text(node, value.c_str());
    }
  }

 private:
  bool m_ok = true;
};

class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string& out) : m_out(out) {}
  void write(const void* data, size_t size) override { m_out.append(static_cast<const char*>(data), size); }

 private:
  std::string& m_out;
};

}  // namespace

// Friend of CNMessageBase: reads and writes the fields directly.
struct CNMessageXml {
  using Field = CNMessageBase::Field;

  // ---- writing ----

  static int WriteClass(XmlBuilder& xml, pugi::xml_node node, const CNMessageBase& message) {
    if (message.m_tagId == 0) return CNXML_UNKNOWN_CLASS;
    xml.Attribute(node, "group", message.m_group);
    xml.Attribute(node, "number", message.m_number);
    xml.Attribute(node, "tag", TagText(message.m_tagId).c_str());
    xml.Attribute(node, "name", message.m_tagName);
    return CNXML_OK;
  }

  static int WriteFields(XmlBuilder& xml, pugi::xml_node parent, const CNMessageBase& message, int depth,
                         size_t& fieldCount) {
    for (const auto& entry : message.m_fields) {
      if (++fieldCount > CNMessageBase::kMaxFields) return CNXML_TOO_LARGE;
      const Field& field = *entry.second;
      static const char* const kElementNames[] = {"str", "i64", "obj", "list"};
      pugi::xml_node node = xml.Child(parent, kElementNames[field.value.index()]);
      xml.Attribute(node, "slot", entry.first);
      xml.Attribute(node, "num", field.number);
      xml.Attribute(node, "key", field.key);
      if (const auto* text = std::get_if<std::string>(&field.value)) {
        xml.StringValue(node, *text);
      } else if (const auto* integer = std::get_if<int64_t>(&field.value)) {
        char digits[24];
        auto result = std::to_chars(digits, digits + sizeof digits - 1, *integer);
        *result.ptr = '\0';
        xml.Text(node, digits);
      } else if (const auto* object = std::get_if<std::unique_ptr<CNMessageBase>>(&field.value)) {
        if (depth + 1 > CNMessageBase::kMaxDepth) return CNXML_TOO_DEEP;
        if (int status = WriteClass(xml, node, **object)) return status;
        if (int status = WriteFields(xml, node, **object, depth + 1, fieldCount)) return status;
      } else {
        for (const std::string& item : std::get<std::vector<std::string>>(field.value)) {
          xml.StringValue(xml.Child(node, "item"), item);
        }
      }
      if (!xml.ok()) return CNXML_NO_MEMORY;
    }
    return CNXML_OK;
  }

  static int Serialize(const CNMessageBase& message, std::string& text, bool pretty) {
    pugi::xml_document document;
    XmlBuilder xml;
    pugi::xml_node root = xml.Child(document, "msg");
    if (int status = WriteClass(xml, root, message)) return status;
    size_t fieldCount = 0;
    if (int status = WriteFields(xml, root, message, 0, fieldCount)) return status;
    if (!xml.ok()) return CNXML_NO_MEMORY;
    std::string out;
    StringWriter writer(out);
    unsigned flags = pugi::format_no_declaration | (pretty ? pugi::format_indent : pugi::format_raw);
    document.save(writer, "  ", flags, pugi::encoding_utf8);
    if (out.size() > CNMessageBase::kMaxLargeXmlBytes) return CNXML_TOO_LARGE;
    text.swap(out);
    return CNXML_OK;
  }

  // ---- reading ----

  // Resolves group/number/tag/name attributes to a registered class.
  // attributeStatus: the status for missing or malformed attributes.
  static int ResolveClass(const char* group, const char* number, const char* tag, const char* name, int attributeStatus,
                          const CNMessageRegistry::ClassInfo*& info) {
    int groupValue, numberValue;
    uint32_t tagValue;
    if (group == nullptr || number == nullptr || tag == nullptr || !ParseDecimal(group, groupValue) ||
        !ParseDecimal(number, numberValue) || !ParseTag(tag, tagValue)) {
      return attributeStatus;
    }
    info = CNMessageRegistry::FindByClass(groupValue, numberValue);
    if (info == nullptr || info->tagId != tagValue || (name != nullptr && info->name != name)) {
      return CNXML_UNKNOWN_CLASS;
    }
    return CNXML_OK;
  }

  struct ReadState {
    size_t fieldCount = 0;
  };

  static int ReadField(const pugi::xml_node& node, CNMessageBase& into, int depth, ReadState& state) {
    enum Kind { kString, kInt64, kObject, kList } kind;
    const char* element = node.name();
    if (std::strcmp(element, "str") == 0) {
      kind = kString;
    } else if (std::strcmp(element, "i64") == 0) {
      kind = kInt64;
    } else if (std::strcmp(element, "obj") == 0) {
      kind = kObject;
    } else if (std::strcmp(element, "list") == 0) {
      kind = kList;
    } else {
      return CNXML_BAD_FIELD;
    }
    if (++state.fieldCount > CNMessageBase::kMaxFields) return CNXML_TOO_LARGE;

    AttributeSpec wanted[] = {{"slot"}, {"num"}, {"key"}, {"enc"}, {"group"}, {"number"}, {"tag"}, {"name"}};
    AttributeSpec &slot = wanted[0], &num = wanted[1], &key = wanted[2], &enc = wanted[3];
    if (!CollectAttributes(node, wanted)) return CNXML_BAD_FIELD;
    if (kind != kString && enc.value != nullptr) return CNXML_BAD_FIELD;
    if (kind != kObject) {
      for (size_t i = 4; i < 8; ++i) {
        if (wanted[i].value != nullptr) return CNXML_BAD_FIELD;
      }
    }
    auto field = std::make_unique<Field>();
    int slotValue;
    if (slot.value == nullptr || num.value == nullptr || key.value == nullptr || !ParseDecimal(slot.value, slotValue) ||
        !ParseDecimal(num.value, field->number) || !ParseDecimal(key.value, field->key)) {
      return CNXML_BAD_FIELD;
    }
    if (into.m_fields.count(slotValue) != 0) return CNXML_BAD_FIELD;

    switch (kind) {
      case kString: {
        std::string value;
        if (!ReadStringValue(node, enc.value, value)) return CNXML_BAD_FIELD;
        field->value = std::move(value);
        break;
      }
      case kInt64: {
        std::string text;
        int64_t value;
        if (!CollectText(node, text) || !ParseDecimal(text.c_str(), value)) return CNXML_BAD_FIELD;
        field->value = value;
        break;
      }
      case kObject: {
        if (depth + 1 > CNMessageBase::kMaxDepth) return CNXML_TOO_DEEP;
        const CNMessageRegistry::ClassInfo* info = nullptr;
        if (int status = ResolveClass(wanted[4].value, wanted[5].value, wanted[6].value, wanted[7].value,
                                      CNXML_BAD_FIELD, info)) {
          return status;
        }
        std::unique_ptr<CNMessageBase> object = CNMessageFields::NewObject(info->group, info->number);
        if (int status = ReadFields(node, *object, depth + 1, state)) return status;
        field->value = std::move(object);
        break;
      }
      case kList: {
        std::vector<std::string> items;
        for (const pugi::xml_node& child : node.children()) {
          if (child.type() == pugi::node_pcdata && IsBlank(child.value())) continue;
          if (child.type() != pugi::node_element || std::strcmp(child.name(), "item") != 0) return CNXML_BAD_FIELD;
          AttributeSpec itemSpecs[] = {{"enc"}};
          std::string value;
          if (!CollectAttributes(child, itemSpecs) || !ReadStringValue(child, itemSpecs[0].value, value)) {
            return CNXML_BAD_FIELD;
          }
          items.push_back(std::move(value));
        }
        field->value = std::move(items);
        break;
      }
    }
    into.m_fields.emplace(slotValue, std::move(field));
    return CNXML_OK;
  }

  static int ReadFields(const pugi::xml_node& parent, CNMessageBase& into, int depth, ReadState& state) {
    for (const pugi::xml_node& child : parent.children()) {
      if (child.type() == pugi::node_pcdata && IsBlank(child.value())) continue;
      if (child.type() != pugi::node_element) return CNXML_BAD_FIELD;
      if (int status = ReadField(child, into, depth, state)) return status;
    }
    return CNXML_OK;
  }

  static int Parse(const char* data, size_t length, std::unique_ptr<CNMessageBase>& out,
                   size_t maxBytes = CNMessageBase::kMaxXmlBytes) {
    if (length > std::min(maxBytes, CNMessageBase::kMaxLargeXmlBytes)) return CNXML_TOO_LARGE;
    // XML has no NUL character; pugixml would stop reading at one and accept
    // whatever came before it.
    if (length > 0 && (data == nullptr || std::memchr(data, '\0', length) != nullptr)) return CNXML_PARSE_ERROR;

    pugi::xml_document document;
    pugi::xml_parse_result result = document.load_buffer(data, length, kParseOptions, pugi::encoding_utf8);
    if (result.status == pugi::status_out_of_memory) return CNXML_NO_MEMORY;
    if (!result) return CNXML_PARSE_ERROR;

    pugi::xml_node root;
    for (const pugi::xml_node& child : document.children()) {
      switch (child.type()) {
        case pugi::node_element:
          if (root) return CNXML_NOT_A_MESSAGE;
          root = child;
          break;
        case pugi::node_pcdata:
          if (!IsBlank(child.value())) return CNXML_PARSE_ERROR;
          break;
        case pugi::node_declaration:
        case pugi::node_comment:
        case pugi::node_pi:
          break;
        default:  // DOCTYPE (and with it entity declarations), top-level CDATA
          return CNXML_PARSE_ERROR;
      }
    }
    if (!root) return CNXML_PARSE_ERROR;
    if (std::strcmp(root.name(), "msg") != 0) return CNXML_NOT_A_MESSAGE;

    AttributeSpec wanted[] = {{"group"}, {"number"}, {"tag"}, {"name"}};
    if (!CollectAttributes(root, wanted)) return CNXML_NOT_A_MESSAGE;
    const CNMessageRegistry::ClassInfo* info = nullptr;
    if (int status = ResolveClass(wanted[0].value, wanted[1].value, wanted[2].value, wanted[3].value,
                                  CNXML_NOT_A_MESSAGE, info)) {
      return status;
    }
    std::unique_ptr<CNMessageBase> message = CNMessageFields::NewObject(info->group, info->number);
    ReadState state;
    if (int status = ReadFields(root, *message, 0, state)) return status;
    out = std::move(message);
    return CNXML_OK;
  }

  static void TakeFields(CNMessageBase& into, CNMessageBase& from) { into.m_fields.swap(from.m_fields); }
};

// ---- public entry points ------------------------------------------------------
// Library exceptions (std::bad_alloc from the containers) stop here.

const char* CNXmlStatusText(int status) {
  switch (status) {
    case CNXML_OK:
      return "success";
    case CNXML_IO_ERROR:
      return "the file could not be read or written";
    case CNXML_PARSE_ERROR:
      return "not well-formed XML";
    case CNXML_NOT_A_MESSAGE:
      return "not a message document";
    case CNXML_UNKNOWN_CLASS:
      return "unknown message class";
    case CNXML_CLASS_MISMATCH:
      return "message of another class";
    case CNXML_BAD_FIELD:
      return "bad field";
    case CNXML_TOO_LARGE:
      return "message too large";
    case CNXML_TOO_DEEP:
      return "sub-objects nested too deep";
    case CNXML_NO_MEMORY:
      return "out of memory";
    default:
      return "unknown status";
  }
}

int CNMessageBase::serialize(std::string& text, bool pretty) const {
  try {
    return CNMessageXml::Serialize(*this, text, pretty);
  } catch (const std::exception&) {
    return CNXML_NO_MEMORY;
  }
}

int CNMessageBase::dumpXmlToFile(CRnFile& file) const {
  try {
    std::string text;
    if (int status = serialize(text, false)) return status;
    if (file.Write(text.data(), text.size()).IsError()) return CNXML_IO_ERROR;
    // An existing file opened without O_TRUNC may hold a longer, older
    // document after ours; cut it off so the file reads back as this message.
    struct stat st;
    if (fstat(file.Fd(), &st) != 0) return CNXML_IO_ERROR;
    if (S_ISREG(st.st_mode)) {
      off_t end = lseek(file.Fd(), 0, SEEK_CUR);
      if (end < 0) return CNXML_IO_ERROR;
      if (st.st_size > end && ftruncate(file.Fd(), end) != 0) return CNXML_IO_ERROR;
    }
    return CNXML_OK;
  } catch (const std::exception&) {
    return CNXML_NO_MEMORY;
  }
}

int CNMessageBase::readXmlFromFile(CRnFile& file) {
  try {
    struct stat st;
    if (file.Fd() < 0 || fstat(file.Fd(), &st) != 0) return CNXML_IO_ERROR;
    if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > kMaxXmlBytes) return CNXML_TOO_LARGE;
    std::string text;
    if (CRnError error = file.ReadAll(text, kMaxXmlBytes)) {
      // A file that grew past the limit since the check above, or a pipe.
      return error.GetCode() == HRESULT_FROM_ERRNO(EFBIG) ? CNXML_TOO_LARGE : CNXML_IO_ERROR;
    }
    return readXmlFromString(text);
  } catch (const std::exception&) {
    return CNXML_NO_MEMORY;
  }
}

int CNMessageBase::readXmlFromString(const std::string& text) {
  try {
    std::unique_ptr<CNMessageBase> parsed;
    if (int status = CNMessageXml::Parse(text.data(), text.size(), parsed)) return status;
    if (parsed->m_group != m_group || parsed->m_number != m_number) return CNXML_CLASS_MISMATCH;
    CNMessageXml::TakeFields(*this, *parsed);
    return CNXML_OK;
  } catch (const std::exception&) {
    return CNXML_NO_MEMORY;
  }
}

std::unique_ptr<CNMessageBase> CNMessageBase::ParseXml(const char* data, size_t length, int* status, size_t maxBytes) {
  std::unique_ptr<CNMessageBase> message;
  int result;
  try {
    result = CNMessageXml::Parse(data, length, message, maxBytes);
  } catch (const std::exception&) {
    result = CNXML_NO_MEMORY;
  }
  if (result != CNXML_OK) message.reset();
  if (status != nullptr) *status = result;
  return message;
}
