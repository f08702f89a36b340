#include "HTMLStreamParser/HTMLStreamParser.h"
#include "HTMLStreamParser/ReferenceScanner.h"
#include "platform/Digest.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace nimbuswatch {
namespace {

using test::ProcessFixture;

struct Sink {
  std::vector<std::string> writes;
  void write(const char* data, std::int32_t length) {
    ASSERT_GT(length, 0) << "a write of nothing";
    writes.emplace_back(data, static_cast<std::size_t>(length));
  }
  Writer writer() { return Writer::to<&Sink::write>(*this); }
  std::string joined() const {
    std::string all;
    for (const auto& w : writes) all += w;
    return all;
  }
};

// Feeds `input` cut at `cuts` (ascending offsets) and returns every write.
template <class Scanner>
std::vector<std::string> run(const std::string& input, const std::vector<std::size_t>& cuts) {
  Sink sink;
  Scanner scanner(sink.writer(), processValues().elementStore());
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    scanner.feed(input.data() + from, static_cast<std::int32_t>(cut - from));
    from = cut;
  }
  scanner.feed(input.data() + from, static_cast<std::int32_t>(input.size() - from));
  scanner.flush();
  return sink.writes;
}

std::string join(const std::vector<std::string>& writes) {
  std::string all;
  for (const auto& w : writes) all += w;
  return all;
}

// The markup that replaces an element with this cleaned text and attributes.
std::string img(const std::string& text, std::map<std::string, std::string> attributes = {}) {
  ElementRecord record;
  record.name = "textimage";
  record.text = text;
  record.attributes = std::move(attributes);
  return imgMarkup(record, processValues().imagesURL, platform::md5Hex(describeElement(record)));
}

const std::vector<std::string>& pages() {
  static const std::vector<std::string> all = {
      "<html><body><p class=\"x\">Plain text &amp; tags, no element at all.</p></body></html>\n",
      "Mail <textimage color='red' size=14>me@example.org</textimage> today.",
      "<TextImage\nFONT=\"Liberation Serif\" style=bold,italic>A\nB</TEXTIMAGE><textimage>x</textimage>!",
      "<textimage alt=\"a>b\nc\" title='q'>t<</textimage> </x <textimage >y</textimage",
      "<textimage bare>kept</textimage> and <textimage/>no</textimage> and <textimage->z",
      "<textimage a=1>open but never closed </textimage > still text",
      "<<textimage>>v</textimage>< textimage>w</textimage><textimagex>u</textimage>",
      // Repeated elements, answered from memory once seen: a closing tag
      // inside a value, another case, one with a closing tag that is not,
      // and a start that is no element before one that is.
      "<textimage t=\"</textimage>\">q</textimage>,<textimage t=\"</textimage>\">q</textimage>,"
      "<TEXTIMAGE c=r>me</TextImage><TEXTIMAGE c=r>me</TextImage>.<textimage c=r>me</textimage >x</textimage>"
      "<textimage <TEXTIMAGE c=r>me</TextImage><textimage>",
  };
  return all;
}

class SplitTest : public testing::TestWithParam<std::size_t> {};

TEST_P(SplitTest, EveryTwoBlockSplitWritesLikeTheByteMachine) {
  ProcessFixture fixture;
  const std::string& input = pages()[GetParam()];
  const auto whole = run<HTMLStreamParser>(input, {});
  EXPECT_EQ(whole, run<test::ReferenceScanner>(input, {}));
  for (std::size_t cut = 0; cut <= input.size(); ++cut) {
    const auto writes = run<HTMLStreamParser>(input, {cut});
    ASSERT_EQ(writes, run<test::ReferenceScanner>(input, {cut})) << "cut at " << cut;
    ASSERT_EQ(join(writes), join(whole)) << "cut at " << cut;
  }
}

TEST_P(SplitTest, EveryThreeBlockSplitAndByteByByteGiveTheSameBytes) {
  ProcessFixture fixture;
  const std::string& input = pages()[GetParam()];
  const std::string whole = join(run<HTMLStreamParser>(input, {}));
  for (std::size_t i = 0; i <= input.size(); ++i) {
    for (std::size_t j = i; j <= input.size(); ++j) {
      ASSERT_EQ(join(run<HTMLStreamParser>(input, {i, j})), whole) << "cuts " << i << "," << j;
    }
  }
  std::vector<std::size_t> everyByte;
  for (std::size_t k = 1; k < input.size(); ++k) everyByte.push_back(k);
  const auto bytewise = run<HTMLStreamParser>(input, everyByte);
  EXPECT_EQ(bytewise, run<test::ReferenceScanner>(input, everyByte));
  EXPECT_EQ(join(bytewise), whole);
}

INSTANTIATE_TEST_SUITE_P(Pages, SplitTest, testing::Range<std::size_t>(0, 8));

TEST(HTMLStreamParserTest, RandomDocumentsAndSplitsMatchTheByteMachine) {
  ProcessFixture fixture;
  unsigned seed = std::random_device{}();
  if (const char* forced = std::getenv("NIMBUSWATCH_TEST_SEED")) seed = static_cast<unsigned>(std::strtoul(forced, nullptr, 10));
  std::cout << "NIMBUSWATCH_TEST_SEED=" << seed << "\n";
  std::mt19937 random(seed);
  const std::vector<std::string> pieces = {
      "<textimage", "<TEXTIMAGE", "<textimag", " ", "\n", ">", "<", "</", "</textimage>", "</TextImage>",
      "</textimage", "e>", " color", "=", "'red'", "\"a b>\"", "x", "1", "/", "-", "text", "<div>", "<p class=a>",
      "</p>", "<!-- c -->", "\t", "'", "\"", "&amp;", "\xe9", std::string("\0", 1), "<t", "<T", "<table>",
      "<ti", "ab", "<<"};
  for (int round = 0; round < 400; ++round) {
    std::string input;
    const int count = 1 + static_cast<int>(random() % 40);
    for (int i = 0; i < count; ++i) input += pieces[random() % pieces.size()];
    std::vector<std::size_t> cuts;
    for (std::size_t k = 1; k < input.size(); ++k) {
      if (random() % 5 == 0) cuts.push_back(k);
    }
    ASSERT_EQ(run<HTMLStreamParser>(input, cuts), run<test::ReferenceScanner>(input, cuts))
        << "seed " << seed << " round " << round << " input [" << input << "]";
  }
}

TEST(HTMLStreamParserTest, ThreeBlockElementGivesThreeWritesAndTwoNotices) {
  ProcessFixture fixture;
  // Block 1 ends two letters into the tag name, block 2 inside the closing
  // tag, block 3 holds the rest of the closing tag and two bytes of text.
  const std::string first = "before <te";
  const std::string second = "xtimage color=red>Hi</text";
  const std::string third = "image>ok";
  Sink sink;
  HTMLStreamParser parser(sink.writer(), processValues().elementStore());
  parser.feed(first.data(), static_cast<std::int32_t>(first.size()));
  parser.feed(second.data(), static_cast<std::int32_t>(second.size()));
  parser.feed(third.data(), static_cast<std::int32_t>(third.size()));
  parser.flush();
  EXPECT_EQ(sink.writes, (std::vector<std::string>{"before ", img("Hi", {{"color", "red"}}), "ok"}));
  EXPECT_EQ(fixture.logMessages(),
            (std::vector<std::string>{"notice: .\\src\\HTMLStreamParser:223 in not last idle:0,nbytes:10",
                                      "notice: .\\src\\HTMLStreamParser:223 in not last idle:0,nbytes:26"}));
}

TEST(HTMLStreamParserTest, ElementNeverClosedIsHeldBackAndFlushedUnchanged) {
  ProcessFixture fixture;
  const std::vector<std::string> blocks = {"ab<textimage>never", " closed", " at all"};
  Sink sink;
  HTMLStreamParser parser(sink.writer(), processValues().elementStore());
  for (const auto& b : blocks) parser.feed(b.data(), static_cast<std::int32_t>(b.size()));
  EXPECT_EQ(sink.writes, std::vector<std::string>{"ab"});
  parser.flush();
  EXPECT_EQ(sink.writes, (std::vector<std::string>{"ab", "<textimage>never closed at all"}));
  EXPECT_EQ(fixture.logMessages().size(), 3u);
}

// A tag or element is held to 16,384 bytes from its "<": one that would need
// more passes through unchanged, exactly as the byte machine says, wherever
// the blocks are cut.
TEST(HTMLStreamParserTest, TagsLongerThanTheLimitPassThroughAtEveryCut) {
  ProcessFixture fixture;
  constexpr std::size_t kLimit = HTMLStreamParser::kLongestTag;
  const std::string open = "<textimage size=12>";
  const std::string close = "</textimage>";
  // An element of exactly `length` bytes between "x" and "y".
  auto element = [&](std::size_t length) {
    return "x" + open + std::string(length - open.size() - close.size(), 'e') + close + "y";
  };
  const struct {
    std::string input;
    bool replaced;
  } cases[] = {
      {element(kLimit - 1), true},
      {element(kLimit), true},
      {element(kLimit + 1), false},
      {"x<textimage alt='" + std::string(kLimit, 'a') + "'>t</textimage>y", false},
      {"x<textimage alt" + std::string(kLimit, ' ') + "='a'>t</textimage>y", false},
      {"x<textimage alt=" + std::string(kLimit, '\n') + "'a'>t</textimage>y", false},
      {"x<" + std::string(kLimit + 10, 'n') + ">y<textimage>t</textimage>", true},
      {"x<textimage>" + std::string(3 * kLimit, 'u'), false},
      {"x<textimage>" + std::string(kLimit, 'u') + "<textimage>t</textimage>", true},
  };
  for (const auto& c : cases) {
    const std::string& input = c.input;
    std::vector<std::vector<std::size_t>> cutSets = {{}, {1}, {input.size() - 1}};
    for (std::size_t k = kLimit - 3; k <= std::min(kLimit + 3, input.size()); ++k) cutSets.push_back({k});
    for (std::size_t step : {4096u, 1000u, 1u}) {
      std::vector<std::size_t> cuts;
      for (std::size_t k = step; k < input.size(); k += step) cuts.push_back(k);
      cutSets.push_back(cuts);
    }
    const std::string whole = join(run<HTMLStreamParser>(input, {}));
    EXPECT_EQ(whole == input, !c.replaced) << input.size();
    for (const auto& cuts : cutSets) {
      const auto writes = run<HTMLStreamParser>(input, cuts);
      ASSERT_EQ(writes, run<test::ReferenceScanner>(input, cuts)) << input.size() << " cut " << cuts.size();
      ASSERT_EQ(join(writes), whole);
    }
  }
}

// However long an unclosed element runs, what the parser holds back stays
// under the limit: the page streams on.
TEST(HTMLStreamParserTest, AnUnclosedElementDoesNotHoldThePageBack) {
  ProcessFixture fixture;
  Sink sink;
  HTMLStreamParser parser(sink.writer(), processValues().elementStore());
  const std::string start = "<textimage color=red>";
  parser.feed(start.data(), static_cast<std::int32_t>(start.size()));
  const std::string block(8192, 't');
  std::size_t fed = start.size();
  for (int i = 0; i < 128; ++i) {
    parser.feed(block.data(), static_cast<std::int32_t>(block.size()));
    fed += block.size();
    ASSERT_GT(sink.joined().size() + HTMLStreamParser::kLongestTag, fed);
  }
  parser.flush();
  EXPECT_EQ(sink.joined(), start + std::string(128 * block.size(), 't'));
}

TEST(HTMLStreamParserTest, TwoElementsInOneBlockKeepTheirPlaces) {
  ProcessFixture fixture;
  const std::string input = "A<textimage>one</textimage>B<textimage>two</textimage>C";
  EXPECT_EQ(run<HTMLStreamParser>(input, {}),
            (std::vector<std::string>{"A", img("one"), "B", img("two"), "C"}));
}

TEST(HTMLStreamParserTest, PlainBodyIsOneWritePerBlock) {
  ProcessFixture fixture;
  const std::string input = "<html><head><title>t</title></head><body>x</body></html>";
  EXPECT_EQ(run<HTMLStreamParser>(input, {6, 20}),
            (std::vector<std::string>{input.substr(0, 6), input.substr(6, 14), input.substr(20)}));
  EXPECT_TRUE(fixture.logMessages().empty());
}

TEST(HTMLStreamParserTest, BlockEndingRightAfterAnElementWritesNothingMore) {
  ProcessFixture fixture;
  const std::string input = "<textimage>x</textimage>";
  EXPECT_EQ(run<HTMLStreamParser>(input, {}), std::vector<std::string>{img("x")});
  Sink sink;
  HTMLStreamParser parser(sink.writer(), processValues().elementStore());
  parser.feed("<text", 5);
  parser.feed("", 0);
  EXPECT_EQ(fixture.logMessages().size(), 2u);
  EXPECT_TRUE(sink.writes.empty());
}

TEST(HTMLStreamParserTest, StartTagGrammar) {
  ProcessFixture fixture;
  struct Case {
    std::string input;
    std::string output;
  };
  const std::vector<Case> cases = {
      {"<TEXTIMAGE>a</textimage>", img("a")},
      {"<TextImage\n>a</textimage>", img("a")},
      {"<textimage Size = 12 ALT=\"x\">a</textimage>", img("a", {{"size", "12"}, {"alt", "\"x\""}})},
      {"<textimage a='1'b='2'>a</textimage>", img("a", {{"a", "'1'"}, {"b", "'2'"}})},
      {"<textimage a=1 a=2>a</textimage>", img("a", {{"a", "2"}})},
      {"<textimage alt='x > y\nz'>a</textimage>", img("a", {{"alt", "'x > y\nz'"}})},
      {"<textimage align=>a</textimage>", img("a", {{"align", ""}})},
      {"<textimagex>a</textimage>", "<textimagex>a</textimage>"},
      {"< textimage>a</textimage>", "< textimage>a</textimage>"},
      {"<textimage/>a</textimage>", "<textimage/>a</textimage>"},
      {"<textimage->a</textimage>", "<textimage->a</textimage>"},
      {"<textimage bare>a</textimage>", "<textimage bare>a</textimage>"},
      {"<textimage da-sh=1>a</textimage>", "<textimage da-sh=1>a</textimage>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(join(run<HTMLStreamParser>(c.input, {})), c.output) << c.input;
  }
}

TEST(HTMLStreamParserTest, ElementTextAndClosingTag) {
  ProcessFixture fixture;
  EXPECT_EQ(join(run<HTMLStreamParser>("<textimage>a</TEXTIMAGE>", {})), img("a"));
  EXPECT_EQ(join(run<HTMLStreamParser>("<textimage>a</textimage >b</textimage>", {})), img("a</textimage >b"));
  EXPECT_EQ(join(run<HTMLStreamParser>("<textimage>a</x b</textimage>", {})), img("a</x b"));
  EXPECT_EQ(join(run<HTMLStreamParser>("<textimage>a<</textimage>", {})), img("a<"));
  EXPECT_EQ(join(run<HTMLStreamParser>("<textimage>line\none\ttab</textimage>", {})), img("line onetab"));
  EXPECT_EQ(join(run<HTMLStreamParser>("<!-- <textimage>c</textimage> -->", {})), "<!-- " + img("c") + " -->");
}

// A thread answers an element it rewrote lately from memory, but only while
// the spool itself would take the element's file as present: with no recheck
// time a file removed by hand is written again by the very next copy; a
// spool in another directory and another images URL get files and markup of
// their own; a store that fails is not remembered, so every copy warns.
TEST(HTMLStreamParserTest, RepeatedElementsAreRewrittenAsTheSpoolSays) {
  ProcessFixture fixture;
  const std::string page = "a<textimage color=red>same</textimage>b<textimage color=red>same</textimage>c";
  const std::string identifier = platform::md5Hex("textimage\tsame\ncolor\tred\n");
  const auto expected = [&] {
    const std::string markup = img("same", {{"color", "red"}});
    return std::vector<std::string>{"a", markup, "b", markup, "c"};
  };

  SpoolStorage untrusting(fixture.spoolDir(), std::chrono::milliseconds(0));
  processValues().spool = &untrusting;
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(run<HTMLStreamParser>(page, {}), expected());
    ASSERT_TRUE(test::exists(fixture.spoolDir() + identifier)) << round;
    std::filesystem::remove(fixture.spoolDir() + identifier);
  }

  const std::string otherDir = fixture.dir().path() + "other/";
  std::filesystem::create_directory(otherDir);
  SpoolStorage other(otherDir);
  processValues().spool = &other;
  processValues().imagesURL = "/elsewhere/";
  EXPECT_EQ(run<HTMLStreamParser>(page, {}), expected());
  EXPECT_NE(expected()[1].find("/elsewhere/" + identifier), std::string::npos);
  EXPECT_EQ(test::readFile(otherDir + identifier), "textimage\tsame\ncolor\tred\n");

  SpoolStorage broken(fixture.dir().path() + "missing/");
  processValues().spool = &broken;
  const auto writes = run<HTMLStreamParser>(page, {});
  EXPECT_EQ(writes, run<test::ReferenceScanner>(page, {}));
  EXPECT_EQ(run<HTMLStreamParser>(page, {}), writes);
  EXPECT_EQ(fixture.logMessages().size(), 6u);
}

}  // namespace
}  // namespace nimbuswatch
