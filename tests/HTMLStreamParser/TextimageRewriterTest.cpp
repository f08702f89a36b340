#include "HTMLStreamParser/ElementRecord.h"
#include "HTMLStreamParser/TextimageRewriter.h"
#include "platform/Digest.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace nimbuswatch {
namespace {

using test::ProcessFixture;
using test::readFile;

// Collects every write, one entry per call.
struct Sink {
  std::vector<std::string> writes;
  void write(const char* data, std::int32_t length) { writes.emplace_back(data, static_cast<std::size_t>(length)); }
  Writer writer() { return Writer::to<&Sink::write>(*this); }
};

ElementRecord element(std::string text, std::map<std::string, std::string> attributes = {}) {
  ElementRecord record;
  record.name = "textimage";
  record.text = std::move(text) + "</textimage>";
  record.attributes = std::move(attributes);
  return record;
}

TEST(EscapeFieldTest, ControlBytesAndBackslashAreEscapedEverythingElseStays) {
  EXPECT_EQ(escapeField(std::string("\0", 1)), "\\A");
  EXPECT_EQ(escapeField("\t"), "\\J");
  EXPECT_EQ(escapeField("\n"), "\\K");
  EXPECT_EQ(escapeField("\r"), "\\N");
  EXPECT_EQ(escapeField("\x1f"), "\\`");
  EXPECT_EQ(escapeField("a\\b"), "a\\\\b");
  EXPECT_EQ(escapeField("\x7f\x80\xff ~'\""), "\x7f\x80\xff ~'\"");
}

TEST(EscapeFieldTest, ArbitraryBytesSurviveTheDescriptionAndComeBack) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    ElementRecord record;
    // Every byte but ESC (0x1B): it escapes to a backslash and 0x5C, which
    // reads back as an escaped backslash. Element text never holds it (control
    // characters are removed first); only a raw attribute value could.
    auto bytes = [&](std::size_t length) {
      std::string s;
      while (s.size() < length) {
        const auto byte = static_cast<char>(random() & 0xFF);
        if (byte != '\x1b') s += byte;
      }
      return s;
    };
    record.name = bytes(random() % 12);
    record.text = bytes(random() % 40);
    for (int a = 0; a < 4; ++a) {
      record.attributes[bytes(1 + random() % 6)] = bytes(random() % 20);
    }
    const std::string description = describeElement(record);
    // No field may hold a raw tab or line feed: lines and fields stay apart.
    EXPECT_EQ(std::count(description.begin(), description.end(), '\n'),
              static_cast<long>(1 + record.attributes.size()));
    const auto parsed = parseElementDescription(description);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->name, record.name);
    EXPECT_EQ(parsed->text, record.text);
    EXPECT_EQ(parsed->attributes, record.attributes);
  }
}

TEST(DescriptionTest, NameAndTextFirstThenAttributesInByteOrder) {
  ElementRecord record;
  record.name = "textimage";
  record.text = "Hi\\there";
  record.attributes = {{"size", "12"}, {"alt", "'a\tb'"}, {"color", "\"red\""}, {"\xe9x", "high"}, {"al", "x"}};
  EXPECT_EQ(describeElement(record),
            "textimage\tHi\\\\there\n"
            "al\tx\n"
            "alt\t'a\\Jb'\n"
            "color\t\"red\"\n"
            "size\t12\n"
            "\xe9x\thigh\n");
}

TEST(DescriptionTest, ParsingStopsAtTheFirstIncompleteRecord) {
  EXPECT_FALSE(parseElementDescription("no tab here\n"));
  EXPECT_FALSE(parseElementDescription("line\nfeed\tfirst\n"));
  EXPECT_FALSE(parseElementDescription("key\tvalue without line feed"));
  EXPECT_FALSE(parseElementDescription(""));
  const auto record = parseElementDescription("textimage\tHello\ncolor\t'red'\ntrailing\tbytes");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->name, "textimage");
  EXPECT_EQ(record->text, "Hello");
  EXPECT_EQ(record->attributes, (std::map<std::string, std::string>{{"color", "'red'"}}));
  EXPECT_EQ(record->attributeValue("color"), "red");
  const auto escaped = parseElementDescription("t\ta\\\\b\\Jc\nk\tv1\nk\tv2\n");
  ASSERT_TRUE(escaped);
  EXPECT_EQ(escaped->text, "a\\b\tc");
  EXPECT_EQ(escaped->attributes.at("k"), "v2");
}

TEST(DescriptionTest, AttributeValueDropsOnePairOfQuotes) {
  ElementRecord record;
  record.attributes = {{"a", "\"Arial\""}, {"b", "'"}, {"c", "'abc"}, {"d", "plain"}, {"e", ""}, {"f", "x'"}};
  EXPECT_EQ(record.attributeValue("a"), "Arial");
  EXPECT_EQ(record.attributeValue("b"), "");
  EXPECT_EQ(record.attributeValue("c"), "ab");
  EXPECT_EQ(record.attributeValue("d"), "plain");
  EXPECT_EQ(record.attributeValue("e"), "");
  EXPECT_EQ(record.attributeValue("f"), "x'");
  EXPECT_EQ(record.attributeValue("absent"), "");
}

TEST(RewriteElementTest, KeepsPageAttributesAddsDefaultsAndDropsDrawingOnes) {
  ProcessFixture fixture("/textimages/");
  Sink sink;
  ElementRecord record = element("Hello", {{"color", "\"red\""}, {"alt", "'greeting'"}, {"size", "12"}});
  rewriteElement(record, processValues().elementStore(), sink.writer());
  const std::string description = "textimage\tHello\nalt\t'greeting'\ncolor\t\"red\"\nsize\t12\n";
  const std::string identifier = platform::md5Hex(description);
  ASSERT_EQ(sink.writes.size(), 1u);
  EXPECT_EQ(sink.writes[0], "<img align=\"absmiddle\" alt='greeting' border=\"0\" src=\"/textimages/" +
                                identifier + ".gif\">");
  EXPECT_EQ(readFile(fixture.spoolDir() + identifier), description);
}

TEST(RewriteElementTest, WithoutAttributesTheDescriptionIsOneLine) {
  ProcessFixture fixture("http://img.example/");
  Sink sink;
  ElementRecord record = element("a@b.example");
  rewriteElement(record, processValues().elementStore(), sink.writer());
  const std::string identifier = platform::md5Hex("textimage\ta@b.example\n");
  EXPECT_EQ(sink.writes,
            std::vector<std::string>{"<img align=\"absmiddle\" border=\"0\" src=\"http://img.example/" + identifier +
                                     ".gif\">"});
}

TEST(RewriteElementTest, PageSrcIsReplacedNonEmptyAlignAndBorderStay) {
  ProcessFixture fixture("/t/");
  Sink sink;
  ElementRecord record = element("x", {{"src", "evil.gif"}, {"align", "\"\""}, {"border", "2"},
                                       {"title", "t"}, {"font", "'Arial'"}, {"bgcolor", "#fff"}, {"style", "bold"},
                                       {"class", "c"}, {"width", "10"}});
  rewriteElement(record, processValues().elementStore(), sink.writer());
  ASSERT_EQ(sink.writes.size(), 1u);
  const std::string& markup = sink.writes[0];
  EXPECT_EQ(markup.substr(0, 39), "<img align=\"\" border=2 class=c src=\"/t/");
  EXPECT_EQ(markup.substr(markup.size() - 23), ".gif\" title=t width=10>");
  for (const char* dropped : {"font", "bgcolor", "style", "evil"}) {
    EXPECT_EQ(markup.find(dropped), std::string::npos) << dropped;
  }
}

TEST(RewriteElementTest, EmptyUnquotedAlignGetsTheDefault) {
  ProcessFixture fixture;
  Sink sink;
  ElementRecord record = element("x", {{"align", ""}, {"border", ""}});
  rewriteElement(record, processValues().elementStore(), sink.writer());
  ASSERT_EQ(sink.writes.size(), 1u);
  EXPECT_EQ(sink.writes[0].substr(0, 33), "<img align=\"absmiddle\" border=\"0\"");
}

TEST(RewriteElementTest, ControlCharactersVanishAndEmptyTextWritesNothing) {
  ProcessFixture fixture;
  Sink sink;
  ElementRecord record = element("\t\r\x01\x7f");
  rewriteElement(record, processValues().elementStore(), sink.writer());
  EXPECT_TRUE(sink.writes.empty());
  // The description is stored all the same.
  EXPECT_TRUE(test::exists(fixture.spoolDir() + platform::md5Hex("textimage\t\n")));

  ElementRecord mixed = element("a\tb\rc\x1b d");
  rewriteElement(mixed, processValues().elementStore(), sink.writer());
  EXPECT_EQ(mixed.text, "abc d");
}

TEST(RewriteElementTest, FailedStoreStillReplacesTheElement) {
  ProcessFixture fixture("/img/");
  SpoolStorage broken(fixture.dir().path() + "missing/");
  processValues().spool = &broken;
  Sink sink;
  ElementRecord record = element("x");
  rewriteElement(record, processValues().elementStore(), sink.writer());
  EXPECT_EQ(sink.writes, std::vector<std::string>{"<img align=\"absmiddle\" border=\"0\" src=\"/img/.gif\">"});
}

TEST(RewriteElementTest, EqualElementsShareOneIdentifier) {
  ProcessFixture fixture;
  Sink sink;
  ElementRecord first = element("same", {{"color", "red"}});
  ElementRecord second = element("same", {{"color", "red"}});
  ElementRecord quotedDifferently = element("same", {{"color", "'red'"}});
  rewriteElement(first, processValues().elementStore(), sink.writer());
  rewriteElement(second, processValues().elementStore(), sink.writer());
  rewriteElement(quotedDifferently, processValues().elementStore(), sink.writer());
  ASSERT_EQ(sink.writes.size(), 3u);
  EXPECT_EQ(sink.writes[0], sink.writes[1]);
  EXPECT_NE(sink.writes[0], sink.writes[2]);
  EXPECT_EQ(test::listDirectory(fixture.spoolDir()).size(), 2u);
}

}  // namespace
}  // namespace nimbuswatch
