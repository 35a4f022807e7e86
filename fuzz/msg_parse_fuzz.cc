// libFuzzer target of the XML readers. Any input may be refused, but nothing
// may crash, and whatever is accepted must behave as a message: it writes
// out, reads back to the same text, survives pretty printing and copying,
// and reads into an object of its own class but not of another.
// The unit tests run this entry over the seed corpus and mutations of it.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "hostlib/msg/CNMessageBase.h"
#include "messages/WzScsiServerMessages.h"

namespace {

[[noreturn]] void MsgFuzzFail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "msg_parse_fuzz: %s\n%s\n", what, detail.c_str());
  __builtin_trap();
}

void MsgFuzzCheckAccepted(const CNMessageBase& message) {
  std::string first;
  int status = message.serialize(first, false);
  // Escaping may make the output larger than the input was.
  if (status == CNXML_TOO_LARGE) return;
  if (status != CNXML_OK) MsgFuzzFail("an accepted message does not serialize", CNXmlStatusText(status));

  std::unique_ptr<CNMessageBase> again = CNMessageBase::ParseXml(first.data(), first.size(), &status);
  if (!again) MsgFuzzFail("serialized text does not read back", first);
  std::string second;
  if (again->serialize(second, false) != CNXML_OK || second != first) {
    MsgFuzzFail("second round differs", first + "\n" + second);
  }

  std::string pretty;
  if (message.serialize(pretty, true) == CNXML_OK) {
    std::unique_ptr<CNMessageBase> fromPretty = CNMessageBase::ParseXml(pretty.data(), pretty.size(), &status);
    std::string flat;
    if (!fromPretty || fromPretty->serialize(flat, false) != CNXML_OK || flat != first) {
      MsgFuzzFail("pretty form reads back differently", pretty);
    }
  }

  CNMessageBase copy(message);
  std::string copied;
  if (copy.serialize(copied, false) != CNXML_OK || copied != first) MsgFuzzFail("copy differs", first);

  std::unique_ptr<CNMessageBase> same = CNMessageRegistry::Create(message.getGroup(), message.getNumber());
  if (!same || same->readXmlFromString(first) != CNXML_OK) MsgFuzzFail("reading into its own class fails", first);

  // Any other class must refuse the document and stay as it was.
  const bool isError = message.getGroup() == WzScsiServer::kGroup && message.getNumber() == WzScsiServer::kError.number;
  WzScsiServer::Error other;
  if (!isError) {
    other.setErrorCode(5);
    std::string before;
    (void)other.serialize(before, false);
    std::string after;
    if (other.readXmlFromString(first) != CNXML_CLASS_MISMATCH || other.serialize(after, false) != CNXML_OK ||
        after != before) {
      MsgFuzzFail("another class accepts the document or changes", first);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WzScsiServer::RegisterMessages();
  int status = -1;
  std::unique_ptr<CNMessageBase> message = CNMessageBase::ParseXml(reinterpret_cast<const char*>(data), size, &status);
  if (!message) {
    if (status == CNXML_OK)
      MsgFuzzFail("refused with status 0", std::string(reinterpret_cast<const char*>(data), size));
    return 0;
  }
  if (status != CNXML_OK) MsgFuzzFail("accepted with a failure status", CNXmlStatusText(status));
  MsgFuzzCheckAccepted(*message);
  return 0;
}
