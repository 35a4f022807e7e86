// Field storage, copying and the class registry of the message library. The
// XML form lives in CNMessageXml.cc.
#include "hostlib/msg/CNMessageBase.h"

#include <map>
#include <new>
#include <unordered_map>
#include <utility>

#include "hostlib/msg/CNMessageField.h"
#include "hostlib/util/wz_mutex.h"

namespace {

const char kUnknownName[] = "Unknown";

// One table for the whole process. Never destroyed: messages held in static
// objects of other libraries keep pointing at its names while those objects
// are torn down at exit.
class Registry {
 public:
  using ClassInfo = CNMessageRegistry::ClassInfo;

  static Registry& Get() {
    static Registry* registry = new Registry();
    return *registry;
  }

  bool Register(int group, int number, uint32_t tagId, const std::string& name, CNMessageRegistry::Factory factory) {
    if (tagId == 0 || name.empty()) return false;
    WzWriterLock lock(&m_mutex);
    if (m_byClass.count({group, number}) != 0 || m_byTag.count(tagId) != 0 || m_byName.count(name) != 0) {
      return false;
    }
    m_entries.push_back(std::make_unique<ClassInfo>(ClassInfo{group, number, tagId, name, factory}));
    const ClassInfo* info = m_entries.back().get();
    m_byClass.emplace(std::make_pair(group, number), info);
    m_byTag.emplace(tagId, info);
    m_byName.emplace(info->name, info);
    return true;
  }

  const ClassInfo* FindByClass(int group, int number) const {
    WzReaderLock lock(&m_mutex);
    auto it = m_byClass.find({group, number});
    return it == m_byClass.end() ? nullptr : it->second;
  }

  const ClassInfo* FindByTag(uint32_t tagId) const {
    WzReaderLock lock(&m_mutex);
    auto it = m_byTag.find(tagId);
    return it == m_byTag.end() ? nullptr : it->second;
  }

  const ClassInfo* FindByName(const std::string& name) const {
    WzReaderLock lock(&m_mutex);
    auto it = m_byName.find(name);
    return it == m_byName.end() ? nullptr : it->second;
  }

  std::vector<ClassInfo> All() const {
    WzReaderLock lock(&m_mutex);
    std::vector<ClassInfo> all;
    all.reserve(m_entries.size());
    for (const auto& entry : m_entries) all.push_back(*entry);
    return all;
  }

 private:
  Registry() {
    // The network layer's control notices travel as messages too; they have
    // no fields, so a plain CNMessageBase serves.
    Register(CNControlNotice::kGroup, CNControlNotice::kDisconnectNumber, CNControlNotice::kDisconnectTag, "Disconnect",
             nullptr);
    Register(CNControlNotice::kGroup, CNControlNotice::kAbortNumber, CNControlNotice::kAbortTag, "Abort", nullptr);
  }

  mutable WzSharedMutex m_mutex;
  std::vector<std::unique_ptr<ClassInfo>> m_entries WZ_GUARDED_BY(m_mutex);  // entries never move
  std::map<std::pair<int, int>, const ClassInfo*> m_byClass WZ_GUARDED_BY(m_mutex);
  std::unordered_map<uint32_t, const ClassInfo*> m_byTag WZ_GUARDED_BY(m_mutex);
  std::unordered_map<std::string, const ClassInfo*> m_byName WZ_GUARDED_BY(m_mutex);
};

}  // namespace

// ---- fields ---------------------------------------------------------------

namespace CNMessageFields {

std::unique_ptr<CNMessageBase> NewObject(int group, int number) {
  std::unique_ptr<CNMessageBase> object = CNMessageRegistry::Create(group, number);
  if (!object) object.reset(new CNMessageBase(group, number));
  return object;
}

std::unique_ptr<CNMessageBase::Field> CopyField(const CNMessageBase::Field& field) {
  auto copy = std::make_unique<CNMessageBase::Field>();
  copy->number = field.number;
  copy->key = field.key;
  if (const auto* object = std::get_if<std::unique_ptr<CNMessageBase>>(&field.value)) {
    copy->value = (*object)->Clone();
  } else if (const auto* text = std::get_if<std::string>(&field.value)) {
    copy->value = *text;
  } else if (const auto* integer = std::get_if<int64_t>(&field.value)) {
    copy->value = *integer;
  } else {
    copy->value = std::get<std::vector<std::string>>(field.value);
  }
  return copy;
}

}  // namespace CNMessageFields

namespace {

const CNMessageBase::Field* FindField(const std::map<int, std::unique_ptr<CNMessageBase::Field>>& fields, int slot) {
  auto it = fields.find(slot);
  return it == fields.end() ? nullptr : it->second.get();
}

}  // namespace

// ---- CNMessageBase ----------------------------------------------------------

CNMessageBase::CNMessageBase(int group, int number)
    : m_group(group), m_number(number), m_tagId(0), m_tagName(kUnknownName) {
  if (const CNMessageRegistry::ClassInfo* info = CNMessageRegistry::FindByClass(group, number)) {
    m_tagId = info->tagId;
    m_tagName = info->name.c_str();
  }
}

CNMessageBase::CNMessageBase(const CNMessageBase& other)
    : m_group(other.m_group), m_number(other.m_number), m_tagId(other.m_tagId), m_tagName(other.m_tagName) {
  for (const auto& entry : other.m_fields) {
    m_fields.emplace_hint(m_fields.end(), entry.first, CNMessageFields::CopyField(*entry.second));
  }
}

CNMessageBase& CNMessageBase::operator=(const CNMessageBase& other) {
  if (this != &other) {
    CNMessageBase copy(other);
    *this = std::move(copy);
  }
  return *this;
}

CNMessageBase::CNMessageBase(CNMessageBase&& other) noexcept
    : m_group(other.m_group),
      m_number(other.m_number),
      m_tagId(other.m_tagId),
      m_tagName(other.m_tagName),
      m_fields(std::move(other.m_fields)) {
  other.m_fields.clear();
}

CNMessageBase& CNMessageBase::operator=(CNMessageBase&& other) noexcept {
  if (this != &other) {
    m_group = other.m_group;
    m_number = other.m_number;
    m_tagId = other.m_tagId;
    m_tagName = other.m_tagName;
    m_fields = std::move(other.m_fields);
    other.m_fields.clear();
  }
  return *this;
}

CNMessageBase::~CNMessageBase() = default;

std::string CNMessageBase::getstring(int, int slot, uint32_t, uint32_t) const {
  const Field* field = FindField(m_fields, slot);
  if (field == nullptr) return std::string();
  const auto* text = std::get_if<std::string>(&field->value);
  return text != nullptr ? *text : std::string();
}

void CNMessageBase::setstring(int number, int slot, const std::string& value, uint32_t, uint32_t key) {
  auto field = std::make_unique<Field>();
  field->number = number;
  field->key = key;
  field->value = value;
  m_fields[slot] = std::move(field);
}

int64_t CNMessageBase::getint64(int slot, uint32_t, uint32_t) const {
  const Field* field = FindField(m_fields, slot);
  if (field == nullptr) return 0;
  const auto* integer = std::get_if<int64_t>(&field->value);
  return integer != nullptr ? *integer : 0;
}

void CNMessageBase::setint64(int number, int slot, int64_t value, uint32_t, uint32_t key) {
  auto field = std::make_unique<Field>();
  field->number = number;
  field->key = key;
  field->value = value;
  m_fields[slot] = std::move(field);
}

CNMessageBase* CNMessageBase::getObjectAccessor(bool create, bool, int number, int slot, uint32_t, uint32_t key,
                                                int group, int classNumber) {
  auto it = m_fields.find(slot);
  if (it != m_fields.end()) {
    auto* object = std::get_if<std::unique_ptr<CNMessageBase>>(&it->second->value);
    if (object != nullptr && (*object)->m_group == group && (*object)->m_number == classNumber) {
      return object->get();
    }
  }
  if (!create) return nullptr;
  auto field = std::make_unique<Field>();
  field->number = number;
  field->key = key;
  std::unique_ptr<CNMessageBase> object = CNMessageFields::NewObject(group, classNumber);
  CNMessageBase* result = object.get();
  field->value = std::move(object);
  m_fields[slot] = std::move(field);
  return result;
}

const CNMessageBase* CNMessageBase::getObject(int slot) const {
  const Field* field = FindField(m_fields, slot);
  if (field == nullptr) return nullptr;
  const auto* object = std::get_if<std::unique_ptr<CNMessageBase>>(&field->value);
  return object != nullptr ? object->get() : nullptr;
}

void CNMessageBase::setObjectAccessor(const CNMessageBase& object, int number, int slot, uint32_t, uint32_t key) {
  // Clone before touching the slot: the object may be the one the slot holds.
  auto field = std::make_unique<Field>();
  field->number = number;
  field->key = key;
  field->value = object.Clone();
  m_fields[slot] = std::move(field);
}

void CNMessageBase::setliststring(int number, int slot, const std::vector<std::string>& values, uint32_t,
                                  uint32_t key) {
  auto field = std::make_unique<Field>();
  field->number = number;
  field->key = key;
  field->value = values;
  m_fields[slot] = std::move(field);
}

void CNMessageBase::setliststring(int number, int slot, std::vector<std::string>&& values, uint32_t, uint32_t key) {
  auto field = std::make_unique<Field>();
  field->number = number;
  field->key = key;
  field->value = std::move(values);
  m_fields[slot] = std::move(field);
}

std::vector<std::string> CNMessageBase::getliststring(int slot, uint32_t, uint32_t) const {
  const Field* field = FindField(m_fields, slot);
  if (field == nullptr) return {};
  const auto* list = std::get_if<std::vector<std::string>>(&field->value);
  return list != nullptr ? *list : std::vector<std::string>();
}

bool CNMessageBase::hasField(int slot) const { return m_fields.count(slot) != 0; }

CNFieldType CNMessageBase::fieldType(int slot) const {
  const Field* field = FindField(m_fields, slot);
  if (field == nullptr) return CNFIELD_NONE;
  switch (field->value.index()) {
    case 0:
      return CNFIELD_STRING;
    case 1:
      return CNFIELD_INT64;
    case 2:
      return CNFIELD_OBJECT;
    default:
      return CNFIELD_LIST;
  }
}

void CNMessageBase::removeField(int slot) { m_fields.erase(slot); }

std::unique_ptr<CNMessageBase> CNMessageBase::Clone() const {
  std::unique_ptr<CNMessageBase> copy = CNMessageFields::NewObject(m_group, m_number);
  // Only the fields move over: the new object's tag comes from the registry,
  // which may know the class better than this object did when it was made.
  CNMessageBase fields(*this);
  copy->m_fields = std::move(fields.m_fields);
  return copy;
}

// ---- CNMessageRegistry ------------------------------------------------------

bool CNMessageRegistry::Register(int group, int number, uint32_t tagId, const std::string& name, Factory factory) {
  try {
    return Registry::Get().Register(group, number, tagId, name, factory);
  } catch (const std::exception&) {
    return false;
  }
}

const CNMessageRegistry::ClassInfo* CNMessageRegistry::FindByClass(int group, int number) {
  return Registry::Get().FindByClass(group, number);
}

const CNMessageRegistry::ClassInfo* CNMessageRegistry::FindByTag(uint32_t tagId) {
  return Registry::Get().FindByTag(tagId);
}

const CNMessageRegistry::ClassInfo* CNMessageRegistry::FindByName(const std::string& name) {
  return Registry::Get().FindByName(name);
}

std::vector<CNMessageRegistry::ClassInfo> CNMessageRegistry::All() { return Registry::Get().All(); }

std::unique_ptr<CNMessageBase> CNMessageRegistry::Create(int group, int number) {
  const ClassInfo* info = FindByClass(group, number);
  if (info == nullptr) return nullptr;
  if (info->factory == nullptr) return std::make_unique<CNMessageBase>(group, number);
  return std::unique_ptr<CNMessageBase>(info->factory());
}
