// Runs the fuzz target's entry over its seed corpus and a few thousand
// deterministic mutations of it, so that the normal test run covers what
// `make fuzz` explores at length. The entry traps on a broken invariant.
#include "fuzz/msg_parse_fuzz.cc"  // NOLINT(bugprone-suspicious-include): the entry under test

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fuzz/msg_fuzz_seeds.h"

namespace {

int RunEntry(const std::string& input) {
  return LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

bool Accepted(const std::string& input) {
  int status = -1;
  return CNMessageBase::ParseXml(input.data(), input.size(), &status) != nullptr;
}

class Mutator {
 public:
  Mutator(const std::vector<std::string>& seeds, uint32_t seed) : m_seeds(seeds), m_random(seed) {}

  std::string Next() {
    std::string text = m_seeds[Below(m_seeds.size())];
    // Mostly one change, so that a fair share of mutants are still messages.
    const size_t steps = Below(4) == 0 ? 2 + Below(3) : 1;
    for (size_t i = 0; i < steps; ++i) Mutate(text);
    return text;
  }

 private:
  size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(m_random() % n); }

  void Mutate(std::string& text) {
    static const char* const kTokens[] = {
        "<str slot=\"9\" num=\"9\" key=\"9\">t</str>",
        "<i64 slot=\"8\" num=\"8\" key=\"8\">-1</i64>",
        "<list slot=\"7\" num=\"7\" key=\"7\"><item>i</item></list>",
        " enc=\"hex\"",
        "<item/>",
        "&amp;",
        "&#1;",
        "<![CDATA[x]]>",
        "<!DOCTYPE m>",
        "</obj>",
        "9223372036854775807",
        "0x4B01E1E8",
        "\"",
        "<",
        ">",
        "/>",
    };
    static const char kBytes[] = {'<', '>', '&', '"', '\0', '\r', '\n', ' ', '0', '9', '-', 'x', '\x01', '\xFF'};
    const size_t at = Below(text.size() + 1);
    switch (Below(6)) {
      case 0:  // flip a bit
        if (!text.empty()) text[Below(text.size())] ^= static_cast<char>(1u << Below(8));
        break;
      case 1:  // an interesting byte
        if (!text.empty()) text[Below(text.size())] = kBytes[Below(sizeof kBytes)];
        break;
      case 2:  // delete a range
        text.erase(at, Below(32));
        break;
      case 3: {  // repeat a range
        std::string piece = text.substr(at, Below(64));
        text.insert(Below(text.size() + 1), piece);
        break;
      }
      case 4:  // insert a token
        text.insert(at, kTokens[Below(sizeof kTokens / sizeof kTokens[0])]);
        break;
      default: {  // splice with another seed
        const std::string& other = m_seeds[Below(m_seeds.size())];
        text = text.substr(0, at) + other.substr(Below(other.size() + 1));
        break;
      }
    }
  }

  const std::vector<std::string>& m_seeds;
  std::mt19937 m_random;
};

std::vector<std::string> SeedTexts() {
  WzScsiServer::RegisterMessages();
  std::vector<std::string> texts;
  for (const MsgFuzzSeeds::Seed& seed : MsgFuzzSeeds::Make()) texts.push_back(seed.xml);
  return texts;
}

TEST(MsgParseFuzz, SeedsOfEveryCatalogueClassAreAcceptedAndKeepTheInvariants) {
  const std::vector<std::string> seeds = SeedTexts();
  for (const WzScsiServer::ClassId& id : WzScsiServer::kAllClasses) {
    size_t ofClass = 0;
    for (const MsgFuzzSeeds::Seed& seed : MsgFuzzSeeds::Make()) {
      ofClass += seed.name.rfind(std::string(id.name) + "-", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(ofClass, 3u) << id.name;
  }
  for (const std::string& seed : seeds) {
    EXPECT_TRUE(Accepted(seed)) << seed;
    EXPECT_EQ(RunEntry(seed), 0);
  }
}

TEST(MsgParseFuzz, MutationsNeverBreakTheReader) {
  const std::vector<std::string> seeds = SeedTexts();
  Mutator mutator(seeds, 0x5EED2024u);
  size_t accepted = 0;
  constexpr int kRuns = 4000;
  for (int i = 0; i < kRuns; ++i) {
    const std::string input = mutator.Next();
    accepted += Accepted(input) ? 1 : 0;
    ASSERT_EQ(RunEntry(input), 0);
  }
  // Both paths of the entry ran: some mutants are still messages, most are not.
  EXPECT_GT(accepted, 0u);
  EXPECT_LT(accepted, static_cast<size_t>(kRuns));
}

}  // namespace
