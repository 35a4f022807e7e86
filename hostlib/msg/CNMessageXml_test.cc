#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "hostlib/msg/CNMessageBase.h"
#include "hostlib/util/RnFiles.h"
#include "tests/support/hostlib/msg_test_classes.h"

namespace {

using MsgTest::Child;
using MsgTest::Parent;

const char kParentAttrs[] = R"(group="900" number="1" tag="0x38400001")";

std::string Doc(const std::string& body, const std::string& attrs = kParentAttrs) {
  return "<msg " + attrs + ">" + body + "</msg>";
}

std::string Xml(const CNMessageBase& m, bool pretty = false) {
  std::string text;
  EXPECT_EQ(m.serialize(text, pretty), CNXML_OK);
  return text;
}

// Parses text as a new message and serializes it again.
std::string Reserialize(const std::string& text) {
  int status = -1;
  std::unique_ptr<CNMessageBase> m = CNMessageBase::ParseXml(text.data(), text.size(), &status);
  EXPECT_EQ(status, CNXML_OK) << text;
  return m ? Xml(*m) : std::string();
}

Parent Sample() {
  Parent m;
  const uint32_t tag = m.getTagID();
  m.setstring(1, 1, "a<b", tag, 5);
  m.setint64(2, 3, -7, tag, 6);
  CNMessageBase* child = m.getObjectAccessor(true, false, 4, 4, tag, 8, MsgTest::kGroup, 2);
  child->setstring(1, 1, "c", child->getTagID(), 9);
  m.setliststring(5, 5, {"x", ""}, tag, 10);
  return m;
}

TEST(CNMessageXml, WritesTheDocumentedForm) {
  EXPECT_EQ(Xml(Sample()),
            R"(<msg group="900" number="1" tag="0x38400001" name="MsgTestParent">)"
            R"(<str slot="1" num="1" key="5">a&lt;b</str>)"
            R"(<i64 slot="3" num="2" key="6">-7</i64>)"
            R"(<obj slot="4" num="4" key="8" group="900" number="2" tag="0x38400002" name="MsgTestChild">)"
            R"(<str slot="1" num="1" key="9">c</str></obj>)"
            R"(<list slot="5" num="5" key="10"><item>x</item><item/></list></msg>)");
}

TEST(CNMessageXml, RoundTripIsExactAndStableInEveryForm) {
  Parent m = Sample();
  const uint32_t tag = m.getTagID();
  m.setint64(-3, -3, std::numeric_limits<int64_t>::min(), tag, 0);
  m.setint64(7, 7, std::numeric_limits<int64_t>::max(), tag, 4294967295u);
  m.setstring(8, 8, "", tag, 1);
  m.setstring(9, 9, "   ", tag, 1);
  m.setstring(10, 10, " lead\ttab\nnew line ", tag, 1);
  m.setstring(11, 11, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x92\xBE &amp; \"q\" 'a' ]]>", tag, 1);
  m.setliststring(12, 12, {}, tag, 1);
  m.getObjectAccessor(true, false, 13, 13, tag, 1, MsgTest::kGroup, 1);  // empty sub-object

  const std::string first = Xml(m);
  Parent back;
  ASSERT_EQ(back.readXmlFromString(first), CNXML_OK);
  EXPECT_EQ(back.getint64(-3, 0, 0), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(back.getint64(7, 0, 0), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(back.getstring(0, 9, 0, 0), "   ");
  EXPECT_EQ(back.getstring(0, 10, 0, 0), " lead\ttab\nnew line ");
  EXPECT_EQ(back.getstring(0, 11, 0, 0), m.getstring(0, 11, 0, 0));
  EXPECT_EQ(back.getliststring(5, 0, 0), (std::vector<std::string>{"x", ""}));
  EXPECT_EQ(back.fieldType(12), CNFIELD_LIST);
  EXPECT_NE(dynamic_cast<const Child*>(back.getObject(4)), nullptr);
  EXPECT_EQ(Xml(back), first) << "second round differs";

  // The indented form reads back to the same message.
  const std::string pretty = Xml(m, true);
  EXPECT_NE(pretty, first);
  EXPECT_EQ(Reserialize(pretty), first);
}

TEST(CNMessageXml, AnyByteStringRoundTrips) {
  // Every single byte, and the sequences XML 1.0 or its readers would not
  // return unchanged.
  std::vector<std::string> values;
  for (int c = 0; c < 256; ++c) values.push_back(std::string(1, static_cast<char>(c)));
  values.push_back(std::string("a\0b", 3));
  values.push_back("line\r\nend\r");
  values.push_back("\xC0\xAF");          // overlong '/'
  values.push_back("\xED\xA0\x80");      // surrogate
  values.push_back("\xEF\xBF\xBE");      // U+FFFE
  values.push_back("\xF4\x90\x80\x80");  // past U+10FFFF
  values.push_back("\xE2\x82");          // truncated
  std::mt19937 random(20240601);
  for (int i = 0; i < 200; ++i) {
    std::string bytes(random() % 40, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    values.push_back(bytes);
  }

  Parent m;
  for (size_t i = 0; i < values.size(); ++i) m.setstring(1, static_cast<int>(i), values[i], m.getTagID(), 1);
  m.setliststring(1, -1, values, m.getTagID(), 1);
  const std::string first = Xml(m);
  Parent back;
  ASSERT_EQ(back.readXmlFromString(first), CNXML_OK);
  for (size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(back.getstring(1, static_cast<int>(i), 0, 1), values[i]) << "value " << i;
  }
  EXPECT_EQ(back.getliststring(-1, 0, 1), values);
  EXPECT_EQ(Xml(back), first);
  EXPECT_EQ(Reserialize(Xml(m, true)), first);
}

TEST(CNMessageXml, EscapesOnlyWhatXmlCannotCarry) {
  Parent m;
  m.setstring(1, 1, "tab\tnewline\n\xC3\xA9", m.getTagID(), 1);
  m.setstring(2, 2, "bell\x07", m.getTagID(), 1);
  m.setstring(3, 3, "cr\r", m.getTagID(), 1);
  m.setliststring(4, 4, {"ok", "\x1B"}, m.getTagID(), 1);
  const std::string xml = Xml(m);
  EXPECT_NE(xml.find(">tab\tnewline\n\xC3\xA9</str>"), std::string::npos) << xml;
  EXPECT_NE(xml.find(R"(<str slot="2" num="2" key="1" enc="hex">62656c6c07</str>)"), std::string::npos) << xml;
  EXPECT_NE(xml.find(R"(<str slot="3" num="3" key="1" enc="hex">63720d</str>)"), std::string::npos) << xml;
  EXPECT_NE(xml.find(R"(<item>ok</item><item enc="hex">1b</item>)"), std::string::npos) << xml;
}

TEST(CNMessageXml, AcceptsWhatOtherWritersMayProduce) {
  MsgTest::Register();
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"declaration and comments", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- c -->" + Doc("<!-- c -->") + "\n"},
      {"fields in any order", Doc(R"(<i64 slot="2" num="2" key="1">5</i64><i64 slot="1" num="1" key="1">4</i64>)")},
      {"no name", Doc("")},
      {"upper-case hex", Doc(R"(<str slot="1" num="1" key="1" enc="hex">4A0D</str>)")},
      {"CDATA", Doc(R"(<str slot="1" num="1" key="1"><![CDATA[a<b]]></str>)")},
      {"character references", Doc(R"(<str slot="1" num="1" key="1">&#x41;&#66;&quot;</str>)")},
      {"leading zeros", Doc(R"(<i64 slot="01" num="1" key="1">-007</i64>)")},
      {"lower-case tag", R"(<msg group="900" number="1" tag="0x38400001"/>)"},
  };
  for (const Case& c : cases) {
    Parent m;
    EXPECT_EQ(m.readXmlFromString(c.text), CNXML_OK) << c.what;
  }
  Parent m;
  ASSERT_EQ(m.readXmlFromString(cases[3].text), CNXML_OK);
  EXPECT_EQ(m.getstring(1, 1, 0, 1), "J\r");
  ASSERT_EQ(m.readXmlFromString(cases[5].text), CNXML_OK);
  EXPECT_EQ(m.getstring(1, 1, 0, 1), "AB\"");
  // Raw line ends read as XML prescribes; a character reference keeps a CR.
  ASSERT_EQ(m.readXmlFromString(Doc("<str slot=\"1\" num=\"1\" key=\"1\">a\r\nb\rc&#13;</str>")), CNXML_OK);
  EXPECT_EQ(m.getstring(1, 1, 0, 1), "a\nb\nc\r");
}

struct BadCase {
  const char* what;
  std::string text;
  int status;
};

std::vector<BadCase> BadDocuments() {
  const std::string okField = R"(<str slot="1" num="1" key="1">v</str>)";
  const std::string child = R"(group="900" number="2" tag="0x38400002")";
  return {
      {"empty", "", CNXML_PARSE_ERROR},
      {"blank", "  \n", CNXML_PARSE_ERROR},
      {"not well-formed", "<msg group=\"900\"", CNXML_PARSE_ERROR},
      {"mismatched end tag", Doc(okField) + "</x>", CNXML_PARSE_ERROR},
      {"text after the root", Doc(okField) + "trailing", CNXML_PARSE_ERROR},
      {"NUL byte", Doc(okField) + std::string(1, '\0'), CNXML_PARSE_ERROR},
      {"DOCTYPE", "<!DOCTYPE msg>" + Doc(okField), CNXML_PARSE_ERROR},
      {"entity declaration",
       "<!DOCTYPE msg [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>" + Doc(R"(<str slot="1" num="1" key="1">&e;</str>)"),
       CNXML_PARSE_ERROR},
      {"root not msg", "<message " + std::string(kParentAttrs) + "/>", CNXML_NOT_A_MESSAGE},
      {"two roots", Doc("") + Doc(""), CNXML_NOT_A_MESSAGE},
      {"missing group", R"(<msg number="1" tag="0x38400001"/>)", CNXML_NOT_A_MESSAGE},
      {"missing tag", R"(<msg group="900" number="1"/>)", CNXML_NOT_A_MESSAGE},
      {"non-numeric number", R"(<msg group="900" number="one" tag="0x38400001"/>)", CNXML_NOT_A_MESSAGE},
      {"tag without 0x", R"(<msg group="900" number="1" tag="38400001"/>)", CNXML_NOT_A_MESSAGE},
      {"tag over 32 bits", R"(<msg group="900" number="1" tag="0x138400001"/>)", CNXML_NOT_A_MESSAGE},
      {"unknown root attribute", R"(<msg group="900" number="1" tag="0x38400001" x="1"/>)", CNXML_NOT_A_MESSAGE},
      {"duplicate root attribute", R"(<msg group="900" group="900" number="1" tag="0x38400001"/>)",
       CNXML_NOT_A_MESSAGE},
      {"unknown class", R"(<msg group="900" number="99" tag="0x38400001"/>)", CNXML_UNKNOWN_CLASS},
      {"tag disagrees with class", R"(<msg group="900" number="1" tag="0x38400002"/>)", CNXML_UNKNOWN_CLASS},
      {"name disagrees with class", R"(<msg group="900" number="1" tag="0x38400001" name="MsgTestChild"/>)",
       CNXML_UNKNOWN_CLASS},
      {"unknown child element", Doc(R"(<bool slot="1" num="1" key="1">1</bool>)"), CNXML_BAD_FIELD},
      {"text in msg", Doc("loose text"), CNXML_BAD_FIELD},
      {"missing slot", Doc(R"(<str num="1" key="1">v</str>)"), CNXML_BAD_FIELD},
      {"missing key", Doc(R"(<str slot="1" num="1">v</str>)"), CNXML_BAD_FIELD},
      {"non-numeric slot", Doc(R"(<str slot="a" num="1" key="1">v</str>)"), CNXML_BAD_FIELD},
      {"slot past int", Doc(R"(<str slot="2147483648" num="1" key="1">v</str>)"), CNXML_BAD_FIELD},
      {"negative key", Doc(R"(<str slot="1" num="1" key="-1">v</str>)"), CNXML_BAD_FIELD},
      {"duplicate slot", Doc(okField + R"(<i64 slot="1" num="2" key="2">1</i64>)"), CNXML_BAD_FIELD},
      {"unknown field attribute", Doc(R"(<str slot="1" num="1" key="1" type="s">v</str>)"), CNXML_BAD_FIELD},
      {"duplicate field attribute", Doc(R"(<str slot="1" slot="2" num="1" key="1">v</str>)"), CNXML_BAD_FIELD},
      {"element in a string", Doc(R"(<str slot="1" num="1" key="1">a<b/></str>)"), CNXML_BAD_FIELD},
      {"unknown encoding", Doc(R"(<str slot="1" num="1" key="1" enc="base64">AA==</str>)"), CNXML_BAD_FIELD},
      {"odd hex", Doc(R"(<str slot="1" num="1" key="1" enc="hex">abc</str>)"), CNXML_BAD_FIELD},
      {"non-hex digit", Doc(R"(<str slot="1" num="1" key="1" enc="hex">zz</str>)"), CNXML_BAD_FIELD},
      {"enc on an integer", Doc(R"(<i64 slot="1" num="1" key="1" enc="hex">31</i64>)"), CNXML_BAD_FIELD},
      {"hexadecimal integer", Doc(R"(<i64 slot="1" num="1" key="1">0x10</i64>)"), CNXML_BAD_FIELD},
      {"integer with blanks", Doc(R"(<i64 slot="1" num="1" key="1"> 1</i64>)"), CNXML_BAD_FIELD},
      {"integer with plus", Doc(R"(<i64 slot="1" num="1" key="1">+1</i64>)"), CNXML_BAD_FIELD},
      {"empty integer", Doc(R"(<i64 slot="1" num="1" key="1"/>)"), CNXML_BAD_FIELD},
      {"integer too large", Doc(R"(<i64 slot="1" num="1" key="1">9223372036854775808</i64>)"), CNXML_BAD_FIELD},
      {"integer too small", Doc(R"(<i64 slot="1" num="1" key="1">-9223372036854775809</i64>)"), CNXML_BAD_FIELD},
      {"list with a non-item", Doc(R"(<list slot="1" num="1" key="1"><str>v</str></list>)"), CNXML_BAD_FIELD},
      {"list with text", Doc(R"(<list slot="1" num="1" key="1">v</list>)"), CNXML_BAD_FIELD},
      {"item with an attribute", Doc(R"(<list slot="1" num="1" key="1"><item x="1">v</item></list>)"), CNXML_BAD_FIELD},
      {"object without class", Doc(R"(<obj slot="1" num="1" key="1"/>)"), CNXML_BAD_FIELD},
      {"class attributes on a string", Doc(R"(<str slot="1" num="1" key="1" )" + child + ">v</str>"), CNXML_BAD_FIELD},
      {"object of unknown class", Doc(R"(<obj slot="1" num="1" key="1" group="900" number="98" tag="0x1"/>)"),
       CNXML_UNKNOWN_CLASS},
      {"object tag disagrees", Doc(R"(<obj slot="1" num="1" key="1" group="900" number="2" tag="0x38400001"/>)"),
       CNXML_UNKNOWN_CLASS},
      {"bad field in an object", Doc(R"(<obj slot="1" num="1" key="1" )" + child + R"(><x/></obj>)"), CNXML_BAD_FIELD},
      {"another class", Doc("", R"(group="900" number="2" tag="0x38400002")"), CNXML_CLASS_MISMATCH},
  };
}

TEST(CNMessageXml, RefusesMalformedDocumentsAndLeavesTheTargetUnchanged) {
  for (const BadCase& c : BadDocuments()) {
    Parent target = Sample();
    const std::string before = Xml(target);
    EXPECT_EQ(target.readXmlFromString(c.text), c.status) << c.what << ": " << c.text;
    EXPECT_EQ(Xml(target), before) << c.what;

    int status = -1;
    std::unique_ptr<CNMessageBase> parsed = CNMessageBase::ParseXml(c.text.data(), c.text.size(), &status);
    if (c.status == CNXML_CLASS_MISMATCH) {
      EXPECT_NE(parsed, nullptr) << "a valid document of another class";
    } else {
      EXPECT_EQ(parsed, nullptr) << c.what;
      EXPECT_EQ(status, c.status) << c.what;
    }
  }
}

TEST(CNMessageXml, ParseXmlMakesTheRegisteredClass) {
  const std::string text = Xml(Sample());
  std::unique_ptr<CNMessageBase> m = CNMessageBase::ParseXml(text.data(), text.size(), nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_NE(dynamic_cast<Parent*>(m.get()), nullptr);
  EXPECT_EQ(m->getTagID(), MsgTest::kParentTag);
  EXPECT_STREQ(m->getTagName(), "MsgTestParent");
  EXPECT_EQ(CNMessageBase::ParseXml(nullptr, 0, nullptr), nullptr);
}

TEST(CNMessageXml, SizeLimit) {
  // Just under the limit reads; one byte over is refused before parsing,
  // whatever it holds.
  Parent m;
  m.setstring(1, 1, "a", m.getTagID(), 1);
  const size_t shell = Xml(m).size() - 1;
  m.setstring(1, 1, std::string(CNMessageBase::kMaxXmlBytes - shell, 'a'), m.getTagID(), 1);
  const std::string atLimit = Xml(m);
  ASSERT_EQ(atLimit.size(), CNMessageBase::kMaxXmlBytes);
  Parent back;
  EXPECT_EQ(back.readXmlFromString(atLimit), CNXML_OK);

  std::string over = atLimit + " ";
  EXPECT_EQ(back.readXmlFromString(over), CNXML_TOO_LARGE);
  over = std::string(CNMessageBase::kMaxXmlBytes + 1, '<');
  EXPECT_EQ(back.readXmlFromString(over), CNXML_TOO_LARGE);

  // A document over the default limit is written (a large reply), and a
  // reader that allows it takes it; the writer refuses only past the large
  // limit.
  m.setstring(1, 2, "a", m.getTagID(), 1);
  std::string text;
  ASSERT_EQ(m.serialize(text, false), CNXML_OK);
  int status = -1;
  EXPECT_FALSE(CNMessageBase::ParseXml(text.data(), text.size(), &status));
  EXPECT_EQ(status, CNXML_TOO_LARGE);
  EXPECT_TRUE(CNMessageBase::ParseXml(text.data(), text.size(), &status, CNMessageBase::kMaxLargeXmlBytes));
  m.setstring(1, 2, std::string(CNMessageBase::kMaxLargeXmlBytes, 'b'), m.getTagID(), 1);
  text = "unchanged";
  EXPECT_EQ(m.serialize(text, false), CNXML_TOO_LARGE);
  EXPECT_EQ(text, "unchanged");
}

TEST(CNMessageXml, DepthLimit) {
  // A chain of sub-objects kMaxDepth deep reads; one more is refused by the
  // writer and the reader alike.
  auto chain = [](int depth) {
    Parent root;
    CNMessageBase* at = &root;
    for (int d = 0; d < depth; ++d) at = at->getObjectAccessor(true, false, 1, 1, 0, 1, MsgTest::kGroup, 1);
    return root;
  };
  const std::string deepest = Xml(chain(CNMessageBase::kMaxDepth));
  Parent back;
  EXPECT_EQ(back.readXmlFromString(deepest), CNXML_OK);
  EXPECT_EQ(Xml(back), deepest);

  std::string text;
  EXPECT_EQ(chain(CNMessageBase::kMaxDepth + 1).serialize(text, false), CNXML_TOO_DEEP);

  std::string tooDeep;
  const std::string open = R"(<obj slot="1" num="1" key="1" group="900" number="1" tag="0x38400001">)";
  for (int d = 0; d <= CNMessageBase::kMaxDepth; ++d) tooDeep += open;
  for (int d = 0; d <= CNMessageBase::kMaxDepth; ++d) tooDeep += "</obj>";
  EXPECT_EQ(back.readXmlFromString(Doc(tooDeep)), CNXML_TOO_DEEP);
  EXPECT_EQ(Xml(back), deepest);

  // Elements nested far deeper than any message, within the size limit,
  // neither crash the reader nor get past it.
  std::string nest;
  for (int d = 0; d < 100000; ++d) nest += "<a>";
  for (int d = 0; d < 100000; ++d) nest += "</a>";
  EXPECT_EQ(back.readXmlFromString(Doc(nest)), CNXML_BAD_FIELD);
  EXPECT_EQ(back.readXmlFromString(nest), CNXML_NOT_A_MESSAGE);
}

TEST(CNMessageXml, FieldCountLimit) {
  Parent m;
  for (size_t i = 0; i < CNMessageBase::kMaxFields - 1; ++i) m.setint64(1, static_cast<int>(i), 1, 0, 1);
  CNMessageBase* sub = m.getObjectAccessor(true, false, 1, -1, 0, 1, MsgTest::kGroup, 2);
  const std::string full = Xml(m);  // kMaxFields fields, the sub-object's field included
  Parent back;
  EXPECT_EQ(back.readXmlFromString(full), CNXML_OK);

  sub->setint64(1, 1, 1, 0, 1);
  std::string text;
  EXPECT_EQ(m.serialize(text, false), CNXML_TOO_LARGE);
  std::string over = full;
  over.insert(over.rfind("</msg>"), R"(<i64 slot="-5" num="1" key="1">1</i64>)");
  EXPECT_EQ(back.readXmlFromString(over), CNXML_TOO_LARGE);
}

TEST(CNMessageXml, StatusTexts) {
  for (int status = CNXML_OK; status <= CNXML_NO_MEMORY; ++status) {
    EXPECT_STRNE(CNXmlStatusText(status), "unknown status") << status;
  }
  EXPECT_STREQ(CNXmlStatusText(99), "unknown status");
}

// ---- files ----

class CNMessageXmlFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wz-msg-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_dir = pattern;
  }
  void TearDown() override {
    for (const std::string& path : m_paths) unlink(path.c_str());
    rmdir(m_dir.c_str());
  }
  std::string Path(const std::string& name) {
    m_paths.push_back(m_dir + "/" + name);
    return m_paths.back();
  }
  std::string m_dir;
  std::vector<std::string> m_paths;
};

TEST_F(CNMessageXmlFile, DumpAndReadBack) {
  const std::string path = Path("m.xml");
  Parent m = Sample();
  {
    CRnFile file;
    ASSERT_TRUE(file.Open(path, O_RDWR | O_CREAT, 0644).IsSuccess());
    ASSERT_EQ(m.dumpXmlToFile(file), CNXML_OK);
  }
  Parent back;
  CRnFile file;
  ASSERT_TRUE(file.Open(path, O_RDONLY, 0).IsSuccess());
  ASSERT_EQ(back.readXmlFromFile(file), CNXML_OK);
  EXPECT_EQ(Xml(back), Xml(m));

  Child other;
  EXPECT_EQ(other.readXmlFromFile(file), CNXML_CLASS_MISMATCH);
  EXPECT_EQ(other.fieldCount(), 0u);
}

TEST_F(CNMessageXmlFile, RewritingWithAShorterMessageLeavesNoTail) {
  const std::string path = Path("m.xml");
  Parent longer = Sample();
  longer.setstring(1, 20, std::string(500, 'x'), 0, 1);
  Parent shorter;
  shorter.setint64(1, 1, 1, 0, 1);
  for (const Parent* m : {&longer, &shorter}) {
    CRnFile file;
    ASSERT_TRUE(file.Open(path, O_RDWR | O_CREAT, 0644).IsSuccess());  // no O_TRUNC
    ASSERT_EQ(m->dumpXmlToFile(file), CNXML_OK);
  }
  CRnFile file;
  ASSERT_TRUE(file.Open(path, O_RDONLY, 0).IsSuccess());
  Parent back;
  ASSERT_EQ(back.readXmlFromFile(file), CNXML_OK);
  EXPECT_EQ(Xml(back), Xml(shorter));
}

TEST_F(CNMessageXmlFile, RefusesLargeFilesAndClosedFiles) {
  const std::string path = Path("big.xml");
  {
    CRnFile file;
    ASSERT_TRUE(file.Open(path, O_RDWR | O_CREAT, 0644).IsSuccess());
    const std::string big(CNMessageBase::kMaxXmlBytes + 1, ' ');
    ASSERT_TRUE(file.Write(big.data(), big.size()).IsSuccess());
  }
  Parent m = Sample();
  const std::string before = Xml(m);
  CRnFile file;
  ASSERT_TRUE(file.Open(path, O_RDONLY, 0).IsSuccess());
  EXPECT_EQ(m.readXmlFromFile(file), CNXML_TOO_LARGE);
  CRnFile closed;
  EXPECT_EQ(m.readXmlFromFile(closed), CNXML_IO_ERROR);
  EXPECT_EQ(m.dumpXmlToFile(closed), CNXML_IO_ERROR);
  EXPECT_EQ(Xml(m), before);
}

}  // namespace
