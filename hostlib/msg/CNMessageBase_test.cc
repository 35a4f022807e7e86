#include "hostlib/msg/CNMessageBase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/hostlib/msg_test_classes.h"

namespace {

using MsgTest::Child;
using MsgTest::Parent;

std::string Xml(const CNMessageBase& m) {
  std::string text;
  EXPECT_EQ(m.serialize(text, false), CNXML_OK);
  return text;
}

TEST(CNMessageFields, FieldsAreFoundBySlotAndReplacedWhateverTheirType) {
  Parent m;
  m.setstring(2, 2, "serial", m.getTagID(), 1345165);
  // Another number and key at the same slot read the same field.
  EXPECT_EQ(m.getstring(9, 2, 0, 69957), "serial");
  EXPECT_EQ(m.getint64(2, 0, 0), 0);
  EXPECT_TRUE(m.getliststring(2, 0, 0).empty());
  EXPECT_EQ(m.getObject(2), nullptr);
  EXPECT_EQ(m.fieldType(2), CNFIELD_STRING);

  m.setint64(2, 2, -5, m.getTagID(), 1);
  EXPECT_EQ(m.fieldType(2), CNFIELD_INT64);
  EXPECT_EQ(m.getint64(2, 0, 0), -5);
  EXPECT_EQ(m.getstring(2, 2, 0, 0), "");

  m.setliststring(2, 2, {"a", "b"}, m.getTagID(), 1);
  EXPECT_EQ(m.fieldType(2), CNFIELD_LIST);
  EXPECT_EQ(m.getliststring(2, 0, 0), (std::vector<std::string>{"a", "b"}));

  m.setObjectAccessor(Child(), 2, 2, m.getTagID(), 1);
  EXPECT_EQ(m.fieldType(2), CNFIELD_OBJECT);
  EXPECT_EQ(m.getint64(2, 0, 0), 0);
  EXPECT_EQ(m.fieldCount(), 1u);

  m.removeField(2);
  EXPECT_FALSE(m.hasField(2));
  EXPECT_EQ(m.fieldType(2), CNFIELD_NONE);
  EXPECT_EQ(m.getstring(2, 2, 0, 0), "");
}

TEST(CNMessageFields, ObjectAccessorCreatesOnlyWhenAskedAndOnlyOfTheNamedClass) {
  Parent m;
  EXPECT_EQ(m.getObjectAccessor(false, false, 5, 11, m.getTagID(), 7, MsgTest::kGroup, 2), nullptr);
  EXPECT_FALSE(m.hasField(11));

  CNMessageBase* child = m.getObjectAccessor(true, false, 5, 11, m.getTagID(), 7, MsgTest::kGroup, 2);
  ASSERT_NE(child, nullptr);
  EXPECT_NE(dynamic_cast<Child*>(child), nullptr) << "made as the registered C++ class";
  EXPECT_EQ(child->getTagID(), MsgTest::kChildTag);
  child->setstring(1, 1, "in place", child->getTagID(), 3);
  EXPECT_EQ(m.getObject(11)->getstring(1, 1, 0, 0), "in place");
  // The same object comes back while the class matches.
  EXPECT_EQ(m.getObjectAccessor(true, false, 5, 11, m.getTagID(), 7, MsgTest::kGroup, 2), child);

  // A sub-object of another class is not handed out as the one asked for.
  EXPECT_EQ(m.getObjectAccessor(false, false, 5, 11, m.getTagID(), 7, MsgTest::kGroup, 1), nullptr);
  CNMessageBase* parent = m.getObjectAccessor(true, false, 5, 11, m.getTagID(), 7, MsgTest::kGroup, 1);
  ASSERT_NE(parent, nullptr);
  EXPECT_NE(dynamic_cast<Parent*>(parent), nullptr);
  EXPECT_EQ(parent->fieldCount(), 0u);

  // A field of another type is replaced on create.
  m.setstring(1, 1, "x", m.getTagID(), 1);
  EXPECT_EQ(m.getObjectAccessor(false, false, 1, 1, m.getTagID(), 1, MsgTest::kGroup, 2), nullptr);
  EXPECT_NE(m.getObjectAccessor(true, false, 1, 1, m.getTagID(), 1, MsgTest::kGroup, 2), nullptr);
  EXPECT_EQ(m.fieldType(1), CNFIELD_OBJECT);
}

TEST(CNMessageFields, SetObjectStoresACopyAsTheRegisteredClass) {
  Parent m;
  CNMessageBase plain(MsgTest::kGroup, 2);  // a Child in all but its C++ type
  plain.setint64(1, 1, 10, 0, 1);
  m.setObjectAccessor(plain, 3, 3, m.getTagID(), 4);
  plain.setint64(1, 1, 11, 0, 1);
  ASSERT_NE(m.getObject(3), nullptr);
  EXPECT_EQ(m.getObject(3)->getint64(1, 0, 0), 10);
  EXPECT_NE(dynamic_cast<const Child*>(m.getObject(3)), nullptr);

  // Storing the object the slot already holds is safe.
  m.setObjectAccessor(*m.getObject(3), 3, 3, m.getTagID(), 4);
  EXPECT_EQ(m.getObject(3)->getint64(1, 0, 0), 10);
}

TEST(CNMessageCopy, CopiesAreDeepAndKeepTheirTypes) {
  Parent original;
  original.setstring(1, 1, "a", original.getTagID(), 1);
  original.setliststring(2, 2, {"x"}, original.getTagID(), 2);
  CNMessageBase* sub = original.getObjectAccessor(true, false, 3, 3, original.getTagID(), 3, MsgTest::kGroup, 2);
  sub->getObjectAccessor(true, false, 1, 1, sub->getTagID(), 1, MsgTest::kGroup, 1)->setint64(1, 1, 42, 0, 1);
  const std::string before = Xml(original);

  Parent copy(original);
  EXPECT_EQ(Xml(copy), before);
  CNMessageBase* copySub = copy.getObjectAccessor(false, false, 3, 3, 0, 3, MsgTest::kGroup, 2);
  ASSERT_NE(copySub, nullptr);
  EXPECT_NE(copySub, sub);
  EXPECT_NE(dynamic_cast<Child*>(copySub), nullptr);
  copySub->getObjectAccessor(false, false, 1, 1, 0, 1, MsgTest::kGroup, 1)->setint64(1, 1, 43, 0, 1);
  copy.setstring(1, 1, "b", 0, 1);
  EXPECT_EQ(Xml(original), before) << "changing the copy changed the original";

  Parent assigned;
  assigned.setint64(9, 9, 9, 0, 9);
  assigned = original;
  EXPECT_EQ(Xml(assigned), before);
  Parent& alias = assigned;
  assigned = alias;  // self-assignment keeps the content
  EXPECT_EQ(Xml(assigned), before);

  std::unique_ptr<CNMessageBase> clone = static_cast<const CNMessageBase&>(original).Clone();
  EXPECT_NE(dynamic_cast<Parent*>(clone.get()), nullptr);
  EXPECT_EQ(Xml(*clone), before);

  Parent moved(std::move(copy));
  EXPECT_EQ(copy.fieldCount(), 0u);  // NOLINT(bugprone-use-after-move): documented state
  EXPECT_EQ(moved.getstring(1, 1, 0, 1), "b");
}

TEST(CNMessageCopy, AClassWithoutFactoryClonesAsPlainMessage) {
  MsgTest::Register();
  CNMessageBase registered(MsgTest::kGroup, 3);
  EXPECT_EQ(registered.getTagID(), MsgTest::kBareTag);
  registered.setint64(1, 1, 1, 0, 1);
  std::unique_ptr<CNMessageBase> clone = registered.Clone();
  EXPECT_EQ(clone->getTagID(), MsgTest::kBareTag);
  EXPECT_EQ(clone->getint64(1, 0, 0), 1);
}

TEST(CNMessageRegistry, UnregisteredClassHasNoTag) {
  CNMessageBase m(901, 77);
  EXPECT_EQ(m.getTagID(), 0u);
  EXPECT_STREQ(m.getTagName(), "Unknown");
  EXPECT_EQ(CNMessageRegistry::Create(901, 77), nullptr);
  std::string text = "unchanged";
  EXPECT_EQ(m.serialize(text, false), CNXML_UNKNOWN_CLASS) << "a document nobody could read back";
  EXPECT_EQ(text, "unchanged");
}

TEST(CNMessageRegistry, NetworkNoticesAreBuiltIn) {
  const CNMessageRegistry::ClassInfo* disconnect = CNMessageRegistry::FindByTag(0x09000102u);
  ASSERT_NE(disconnect, nullptr);
  EXPECT_EQ(disconnect->group, 9);
  EXPECT_EQ(disconnect->number, 258);
  EXPECT_EQ(disconnect->name, "Disconnect");
  const CNMessageRegistry::ClassInfo* abort = CNMessageRegistry::FindByClass(9, 259);
  ASSERT_NE(abort, nullptr);
  EXPECT_EQ(abort->tagId, 0x09000103u);
  EXPECT_EQ(abort->name, "Abort");
  CNMessageBase notice(9, 258);
  EXPECT_EQ(notice.getTagID(), 0x09000102u);
  EXPECT_STREQ(notice.getTagName(), "Disconnect");
}

TEST(CNMessageRegistry, FirstRegistrationStandsAndDuplicatesAreRefused) {
  MsgTest::Register();
  const CNMessageRegistry::ClassInfo* first = CNMessageRegistry::FindByClass(MsgTest::kGroup, 1);
  ASSERT_NE(first, nullptr);

  EXPECT_FALSE(CNMessageRegistry::Register(MsgTest::kGroup, 1, 0x38400F01u, "Other", nullptr)) << "same class";
  EXPECT_FALSE(CNMessageRegistry::Register(MsgTest::kGroup, 50, MsgTest::kParentTag, "Other", nullptr)) << "same tag";
  EXPECT_FALSE(CNMessageRegistry::Register(MsgTest::kGroup, 50, 0x38400F01u, "MsgTestParent", nullptr)) << "same name";
  EXPECT_FALSE(CNMessageRegistry::Register(MsgTest::kGroup, 50, 0, "NoTag", nullptr));
  EXPECT_FALSE(CNMessageRegistry::Register(MsgTest::kGroup, 50, 0x38400F01u, "", nullptr));

  EXPECT_EQ(CNMessageRegistry::FindByClass(MsgTest::kGroup, 1), first);
  EXPECT_EQ(first->tagId, MsgTest::kParentTag);
  EXPECT_EQ(CNMessageRegistry::FindByTag(MsgTest::kParentTag), first);
  EXPECT_EQ(CNMessageRegistry::FindByName("MsgTestParent"), first);
  EXPECT_EQ(CNMessageRegistry::FindByClass(MsgTest::kGroup, 50), nullptr);
  EXPECT_EQ(CNMessageRegistry::FindByTag(0x38400F01u), nullptr);
  EXPECT_EQ(CNMessageRegistry::FindByName("Other"), nullptr);
  EXPECT_NE(dynamic_cast<Parent*>(CNMessageRegistry::Create(MsgTest::kGroup, 1).get()), nullptr);
}

}  // namespace
