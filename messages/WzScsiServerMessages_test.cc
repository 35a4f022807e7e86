#include "messages/WzScsiServerMessages.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

namespace WzScsiServer {
namespace {

std::string Xml(const CNMessageBase& m) {
  std::string text;
  EXPECT_EQ(m.serialize(text, false), CNXML_OK);
  return text;
}

std::unique_ptr<CNMessageBase> Parse(const std::string& text) {
  int status = -1;
  std::unique_ptr<CNMessageBase> m = CNMessageBase::ParseXml(text.data(), text.size(), &status);
  EXPECT_EQ(status, CNXML_OK) << CNXmlStatusText(status) << ": " << text;
  return m;
}

TEST(Catalogue, EveryClassIsRegisteredWithItsIdentifiers) {
  RegisterMessages();
  std::set<uint32_t> tags;
  for (const ClassId& id : kAllClasses) {
    const CNMessageRegistry::ClassInfo* info = CNMessageRegistry::FindByTag(id.tagId);
    ASSERT_NE(info, nullptr) << id.name;
    EXPECT_EQ(info->group, kGroup);
    EXPECT_EQ(info->number, id.number) << id.name;
    EXPECT_EQ(info->name, id.name);
    EXPECT_EQ(CNMessageRegistry::FindByClass(kGroup, id.number), info);
    CNMessageBase m(kGroup, id.number);
    EXPECT_EQ(m.getTagID(), id.tagId);
    EXPECT_STREQ(m.getTagName(), id.name);
    tags.insert(id.tagId);
  }
  EXPECT_EQ(tags.size(), 25u);
  RegisterMessages();  // again: harmless
  EXPECT_EQ(CNMessageRegistry::FindByTag(kCreateLun.tagId)->number, kCreateLun.number);
}

RequestContext Context(int64_t flags) {
  RequestContext ctx;
  ctx.setFlags(flags);
  return ctx;
}

Error MakeError(int64_t code, const std::string& text) {
  Error e;
  e.setErrorCode(code);
  e.setErrorMessage(text);
  return e;
}

// One populated message of every class, as a client or the service builds it.
std::vector<std::unique_ptr<CNMessageBase>> PopulatedMessages() {
  std::vector<std::unique_ptr<CNMessageBase>> all;
  auto ct = std::make_unique<CreateTarget>();
  ct->setContext(Context(0));
  ct->setTargetId("iqn.2024-01.com.example:Disk1");
  ct->setTargetDesc("first target");
  all.push_back(std::move(ct));
  auto dt = std::make_unique<DeleteTarget>();
  dt->context().setFlags(0);
  dt->setTargetId("iqn.2024-01.com.example:disk1");
  all.push_back(std::move(dt));
  auto cl = std::make_unique<CreateLun>();
  cl->context().setFlags(2);
  cl->setTargetId("iqn.a");
  cl->setBstorType(BSTOR_BLKDEV);
  cl->bstoreDesc().setArgs("-path /dev/sdb -size 1048576");
  all.push_back(std::move(cl));
  auto dl = std::make_unique<DeleteLun>();
  dl->context().setFlags(1);
  dl->setTargetId("iqn.a");
  dl->setLunId(0x100000003LL);
  all.push_back(std::move(dl));
  auto map = std::make_unique<MapLun2Host>();
  map->context();
  map->setHostId("iqn.1993-08.org.debian:01:HostA");
  map->setTargetId("iqn.a");
  map->setLunId(3);
  all.push_back(std::move(map));
  auto unmap = std::make_unique<UnMapLun2Host>();
  unmap->context();
  unmap->setHostId("HostA");
  unmap->setTargetId("iqn.a");
  unmap->setLunId(3);
  all.push_back(std::move(unmap));
  auto io = std::make_unique<Ioctl>();
  io->context();
  io->setCommand("llh");
  io->setArguments("-ti iqn.a -hi HostA");
  all.push_back(std::move(io));
  auto auth = std::make_unique<SetTargetAuth>();
  auth->context();
  auth->setTargetId("iqn.a");
  auth->setEnabled(true);
  auth->setUser("alice");
  auth->setSecret("twelve-chars");
  auth->setMutualUser("target-a");
  auth->setMutualSecret("other-secret");
  all.push_back(std::move(auth));
  auto resize = std::make_unique<ResizeLun>();
  resize->context();
  resize->setTargetId("iqn.a");
  resize->setLunId(3);
  resize->setSize(int64_t(20) << 30);
  all.push_back(std::move(resize));
  auto start = std::make_unique<StartScsiService>();
  start->context();
  all.push_back(std::move(start));

  const Error failed = MakeError(RC_TARGET_EXISTS, "Target already exists: iqn.a");
  auto addReply = [&](std::unique_ptr<Reply> reply) {
    reply->setContextFrom(*all.front());
    reply->setError(failed);
    all.push_back(std::move(reply));
  };
  addReply(std::make_unique<CreateTargetRsp>());
  addReply(std::make_unique<DeleteTargetRsp>());
  auto clr = std::make_unique<CreateLunRsp>();
  clr->setSerialPrefix("WZ0A1B2C");
  clr->setLunId(7);
  addReply(std::move(clr));
  addReply(std::make_unique<DeleteLunRsp>());
  addReply(std::make_unique<MapLun2HostRsp>());
  addReply(std::make_unique<UnMapLun2HostRsp>());
  auto ior = std::make_unique<IoctlRsp>();
  ior->setResults({"Target: iqn.a", "  LUN: 0", "",
                   "tab\tand\x01"
                   "control"});
  addReply(std::move(ior));
  addReply(std::make_unique<StartScsiServiceRsp>());
  addReply(std::make_unique<SetTargetAuthRsp>());
  addReply(std::make_unique<ResizeLunRsp>());

  all.push_back(std::make_unique<Error>(MakeError(RC_SUCCESS, "")));
  auto bsd = std::make_unique<BStoreDesc>();
  bsd->setArgs("-path /srv/a.img");
  all.push_back(std::move(bsd));
  all.push_back(std::make_unique<RequestContext>(Context(3)));
  auto unsupported1 = std::make_unique<CNMessageBase>(kGroup, kUnsupported4B2DD38B.number);
  unsupported1->setstring(1, 1, "anything", kUnsupported4B2DD38B.tagId, 1);
  all.push_back(std::move(unsupported1));
  all.push_back(std::make_unique<CNMessageBase>(kGroup, kUnsupported4B2E3940.number));
  return all;
}

TEST(Catalogue, EveryClassRoundTripsByteForByte) {
  std::set<int> numbers;
  for (const std::unique_ptr<CNMessageBase>& m : PopulatedMessages()) {
    numbers.insert(m->getNumber());
    const std::string first = Xml(*m);
    std::unique_ptr<CNMessageBase> back = Parse(first);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->getTagID(), m->getTagID());
    // Parsed and cloned messages are of the class's C++ type.
    const std::unique_ptr<CNMessageBase> clone = m->Clone();
    const CNMessageBase &original = *m, &parsed = *back, &cloned = *clone;
    EXPECT_EQ(typeid(parsed), typeid(original)) << m->getTagName();
    EXPECT_EQ(typeid(cloned), typeid(original)) << m->getTagName();
    EXPECT_EQ(Xml(*back), first) << m->getTagName();
    std::unique_ptr<CNMessageBase> same = CNMessageRegistry::Create(kGroup, m->getNumber());
    EXPECT_EQ(same->readXmlFromString(first), CNXML_OK) << m->getTagName();
  }
  EXPECT_EQ(numbers.size(), sizeof kAllClasses / sizeof kAllClasses[0]) << "a class is missing from the test";
  // A CreateLunRsp made from its class id alone carries its error at 4/7.
  std::unique_ptr<CNMessageBase> rsp = CNMessageRegistry::Create(kGroup, kCreateLunRsp.number);
  EXPECT_EQ(dynamic_cast<Reply&>(*rsp).errorField().slot, 7);
}

// Saved requests hold these identifiers: any change to them breaks the files
// already on disk (the same documents are the example of docs/protocol.md).
TEST(Catalogue, SavedFormOfCreateLunAndItsReplyIsFixed) {
  CreateLun request;
  request.context().setFlags(0);
  request.setTargetId("iqn.2024-01.com.example:disk1");
  request.setBstorType(BSTOR_BLKDEV);
  request.bstoreDesc().setArgs("-ti iqn.2024-01.com.example:disk1 -path /dev/sdb -sp WZDISK1");
  EXPECT_EQ(Xml(request),
            R"(<msg group="75" number="19" tag="0x4B1C3949" name="CreateLun">)"
            R"(<obj slot="1" num="1" key="72406" group="75" number="16" tag="0x4B011AD6" name="RequestContext">)"
            R"(<i64 slot="3" num="3" key="68103">0</i64></obj>)"
            R"(<str slot="2" num="2" key="8568492">iqn.2024-01.com.example:disk1</str>)"
            R"(<i64 slot="10" num="10" key="13724608">2</i64>)"
            R"(<obj slot="11" num="5" key="13228823" group="75" number="0" tag="0x4B335CF0" name="BStoreDesc">)"
            R"(<str slot="1" num="1" key="5664057">-ti iqn.2024-01.com.example:disk1 -path /dev/sdb -sp WZDISK1</str>)"
            R"(</obj></msg>)");

  CreateLunRsp reply;
  reply.setContextFrom(request);
  reply.setSerialPrefix("WZDISK1");
  reply.setLunId(0);
  reply.setError(MakeError(RC_SUCCESS, ""));
  reply.getObjectAccessor(false, false, 4, 7, kCreateLunRsp.tagId, 69957, kGroup, kError.number)
      ->removeField(Fields::kErrorMessage.slot);
  EXPECT_EQ(Xml(reply),
            R"(<msg group="75" number="5" tag="0x4B6F9846" name="CreateLunRsp">)"
            R"(<obj slot="1" num="1" key="72406" group="75" number="16" tag="0x4B011AD6" name="RequestContext">)"
            R"(<i64 slot="3" num="3" key="68103">0</i64></obj>)"
            R"(<str slot="2" num="2" key="1345165">WZDISK1</str>)"
            R"(<i64 slot="6" num="3" key="5521761">0</i64>)"
            R"(<obj slot="7" num="4" key="69957" group="75" number="13" tag="0x4B01E1E8" name="Error">)"
            R"(<i64 slot="1" num="1" key="3792897">0</i64></obj></msg>)");
}

TEST(Catalogue, TypedAccessorsReadBackAfterARoundTrip) {
  CreateLun request;
  request.context().setFlags(2);
  request.setTargetId("iqn.a");
  request.setBstorType(BSTOR_DEVSNAP);
  request.bstoreDesc().setArgs("-snap s1");
  CreateLun back;
  ASSERT_EQ(back.readXmlFromString(Xml(request)), CNXML_OK);
  EXPECT_EQ(back.contextFlags(), 2);
  EXPECT_EQ(back.targetId(), "iqn.a");
  EXPECT_EQ(back.bstorType(), BSTOR_DEVSNAP);
  EXPECT_EQ(back.bstoreDesc().args(), "-snap s1");
  // The raw addresses the service uses reach the same fields.
  EXPECT_EQ(back.getstring(2, 2, kCreateLun.tagId, 8568492), "iqn.a");
  EXPECT_EQ(back.getint64(10, kCreateLun.tagId, 13724608), BSTOR_DEVSNAP);
  CNMessageBase* desc = back.getObjectAccessor(true, false, 5, 11, kCreateLun.tagId, 13228823, 75, 0);
  ASSERT_NE(desc, nullptr);
  EXPECT_EQ(desc->getstring(1, 1, kBStoreDesc.tagId, 5664057), "-snap s1");

  MapLun2Host map;
  map.setHostId("HostA");
  map.setTargetId("iqn.b");
  map.setLunId(12);
  MapLun2Host mapBack;
  ASSERT_EQ(mapBack.readXmlFromString(Xml(map)), CNXML_OK);
  EXPECT_EQ(mapBack.hostId(), "HostA");
  EXPECT_EQ(mapBack.targetId(), "iqn.b");
  EXPECT_EQ(mapBack.lunId(), 12);
  EXPECT_EQ(mapBack.contextFlags(), 0) << "no context";

  IoctlRsp rsp;
  rsp.setResults({"a", "", "b\r"});
  IoctlRsp rspBack;
  ASSERT_EQ(rspBack.readXmlFromString(Xml(rsp)), CNXML_OK);
  EXPECT_EQ(rspBack.results(), (std::vector<std::string>{"a", "", "b\r"}));
  EXPECT_EQ(rspBack.getliststring(3, kIoctlRsp.tagId, 8486062), rspBack.results());
}

TEST(Catalogue, CreateLunRspCarriesItsErrorAt4Slash7) {
  CreateLunRsp rsp;
  rsp.setSerialPrefix("WZSERIAL");
  rsp.setLunId(5);
  rsp.setError(MakeError(RC_BSTORE_FAILED, "backing store failed"));

  auto check = [](CreateLunRsp& m) {
    ASSERT_NE(m.error(), nullptr);
    EXPECT_EQ(m.error()->errorCode(), RC_BSTORE_FAILED);
    EXPECT_EQ(m.error()->errorMessage(), "backing store failed");
    EXPECT_EQ(m.fieldType(7), CNFIELD_OBJECT);
    // A reader that looks for the error at 2/2 finds the serial prefix.
    EXPECT_EQ(m.getstring(2, 2, kCreateLunRsp.tagId, 69957), "WZSERIAL");
    EXPECT_EQ(m.getObjectAccessor(false, false, 2, 2, kCreateLunRsp.tagId, 69957, 75, 13), nullptr);
    EXPECT_EQ(m.serialPrefix(), "WZSERIAL");
    EXPECT_EQ(m.lunId(), 5);
  };
  check(rsp);
  std::unique_ptr<CNMessageBase> parsed = Parse(Xml(rsp));
  ASSERT_NE(dynamic_cast<CreateLunRsp*>(parsed.get()), nullptr);
  check(dynamic_cast<CreateLunRsp&>(*parsed));

  // Other replies carry it at 2/2.
  DeleteLunRsp other;
  other.setError(MakeError(RC_HAS_DEPENDANTS, "x"));
  EXPECT_EQ(other.fieldType(2), CNFIELD_OBJECT);
  EXPECT_EQ(other.getObject(2)->getint64(1, kError.tagId, 3792897), RC_HAS_DEPENDANTS);
}

TEST(Catalogue, RepliesCopyTheRequestContext) {
  CreateTarget request;
  request.context().setFlags(1);
  CreateTargetRsp reply;
  reply.setContextFrom(request);
  request.context().setFlags(2);  // the reply holds a copy
  const CNMessageBase* ctx = reply.getObject(1);
  ASSERT_NE(ctx, nullptr);
  EXPECT_NE(dynamic_cast<const RequestContext*>(ctx), nullptr);
  EXPECT_EQ(ctx->getint64(3, kRequestContext.tagId, 68103), 1);

  // A request without a context leaves the reply as it was.
  CreateTarget bare;
  CreateTargetRsp empty;
  empty.setContextFrom(bare);
  EXPECT_FALSE(empty.hasField(1));
  // Likewise a request whose 1/1 holds something else.
  bare.setstring(1, 1, "not a context", bare.getTagID(), 72406);
  empty.setContextFrom(bare);
  EXPECT_FALSE(empty.hasField(1));

  EXPECT_EQ(empty.error(), nullptr);
  Error e = MakeError(RC_NOT_READY_OR_FAILED, "Either service not initialized or initialization is in progress.");
  empty.setError(e);
  e.setErrorCode(0);
  ASSERT_NE(empty.error(), nullptr);
  EXPECT_EQ(empty.error()->errorCode(), RC_NOT_READY_OR_FAILED);
  EXPECT_TRUE(empty.error()->hasErrorMessage());
}

TEST(Catalogue, SubObjectAccessorsRepairWhatTheSlotHolds) {
  CreateLun request;
  request.setstring(5, 11, "junk", request.getTagID(), 13228823);
  request.bstoreDesc().setArgs("-path /a");
  EXPECT_EQ(request.bstoreDesc().args(), "-path /a");
  request.setObjectAccessor(Context(4), 5, 11, request.getTagID(), 13228823);  // wrong class at 5/11
  EXPECT_EQ(request.bstoreDesc().args(), "");

  // setBstoreDesc stores a copy.
  BStoreDesc desc;
  desc.setArgs("-path /b");
  request.setBstoreDesc(desc);
  desc.setArgs("-path /c");
  EXPECT_EQ(request.bstoreDesc().args(), "-path /b");

  // Copies of a request carry their own sub-objects.
  CreateLun copy(request);
  copy.bstoreDesc().setArgs("-path /d");
  copy.context().setFlags(9);
  EXPECT_EQ(request.bstoreDesc().args(), "-path /b");
  EXPECT_EQ(request.contextFlags(), 0);
  EXPECT_EQ(copy.contextFlags(), 9);
}

TEST(Catalogue, ReplyClassForEveryRequest) {
  const std::pair<ClassId, ClassId> pairs[] = {
      {kCreateTarget, kCreateTargetRsp},
      {kDeleteTarget, kDeleteTargetRsp},
      {kCreateLun, kCreateLunRsp},
      {kDeleteLun, kDeleteLunRsp},
      {kMapLun2Host, kMapLun2HostRsp},
      {kUnMapLun2Host, kUnMapLun2HostRsp},
      {kIoctl, kIoctlRsp},
      {kStartScsiService, kStartScsiServiceRsp},
  };
  for (const auto& pair : pairs) {
    const ClassId* reply = ReplyClassFor(pair.first.tagId);
    ASSERT_NE(reply, nullptr) << pair.first.name;
    EXPECT_EQ(reply->tagId, pair.second.tagId) << pair.first.name;
  }
  EXPECT_EQ(ReplyClassFor(kCreateLunRsp.tagId), nullptr);
  EXPECT_EQ(ReplyClassFor(kUnsupported4B2DD38B.tagId), nullptr);
  EXPECT_EQ(ReplyClassFor(0x09000102u), nullptr);
}

TEST(Catalogue, ResultCodeTexts) {
  std::set<std::string> texts;
  for (int64_t code : {0, 1, 2, 3, 4, 7, 8, 9}) texts.insert(ResultCodeText(code));
  EXPECT_EQ(texts.size(), 8u) << "one distinct text per code";
  EXPECT_EQ(texts.count("unknown result code"), 0u);
  EXPECT_STREQ(ResultCodeText(5), "unknown result code");
  EXPECT_STREQ(ResultCodeText(-1), "unknown result code");
}

}  // namespace
}  // namespace WzScsiServer
