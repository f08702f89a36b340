#include "HTTPStreamParser/HTTPStreamParser.h"

#include "core/ResponseHandler.h"
#include "support/ResponseExchange.h"
#include "support/StreamTesting.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

namespace nimbuswatch::test {
namespace {

const ExchangeOptions kHTTP11{"HTTP/1.1"};
const ExchangeOptions kHTTP10{"HTTP/1.0"};

// A chunked body of the given pieces, each chunk-size line carrying `extension`.
std::string chunked(const std::vector<std::string>& pieces, const std::string& extension = "") {
  std::string body;
  char size[16];
  for (const std::string& piece : pieces) {
    std::snprintf(size, sizeof size, "%zx", piece.size());
    body += size + extension + "\r\n" + piece + "\r\n";
  }
  return body + "0" + extension + "\r\n\r\n";
}

std::string headerPart(const std::string& client) { return client.substr(0, client.find("\r\n\r\n") + 4); }
std::string bodyPart(const std::string& client) { return client.substr(client.find("\r\n\r\n") + 4); }

// What the client reads: for chunked output the header section and the data
// of the chunks (the framing itself must be sound); otherwise the bytes.
std::string clientView(const std::string& client, bool chunkedOutput) {
  if (!chunkedOutput) {
    return client;
  }
  const std::optional<std::string> body = decodeChunked(bodyPart(client));
  if (!body) {
    ADD_FAILURE() << "malformed chunked output: [" << client << "]";
    return client;
  }
  return headerPart(client) + *body;
}

class HTTPStreamParserTest : public ::testing::Test {
 protected:
  // The spool's one identifier, once one element has been rewritten.
  std::string onlyIdentifier() {
    const std::vector<std::string> names = listDirectory(fixture.spoolDir());
    EXPECT_EQ(names.size(), 1u);
    return names.empty() ? std::string() : names.front();
  }

  ProcessFixture fixture;
};

TEST_F(HTTPStreamParserTest, HeaderRulesForHTTP11) {
  const std::string raw =
      "HTTP/1.1 200 OK: fine\r\n"
      "Date: Tue, 08 Dec 2026 03:00:00 GMT\r\n"
      "Content-Type: text/html\r\n"
      "content-LENGTH: 12\r\n"
      "Connection: keep-alive\r\n"
      "Keep-Alive: timeout=5\r\n"
      "X-Powered-By: Origin/2\r\n"
      "Content-Length : 3\r\n"
      "A line without colon\r\n"
      "Transfer-Encoding: chunked\r\n"
      "\r\n" +
      chunked({"hello"});
  EXPECT_EQ(exchange(raw, {raw}, kHTTP11),
            "HTTP/1.1 200 OK: fine\r\n"
            "Date: Tue, 08 Dec 2026 03:00:00 GMT\r\n"
            "Content-Type: text/html\r\n"
            "Connection: keep-alive\r\n"
            "Keep-Alive: timeout=5\r\n"
            "X-Powered-By: Origin/2\r\n"
            "Content-Length : 3\r\n"
            "A line without colon\r\n"
            "Transfer-Encoding: chunked\r\n"
            "X-Powered-By: nimbuswatch/1.0\r\n"
            "\r\n"
            "5\r\nhello\r\n"
            "0\r\n\r\n");
}

TEST_F(HTTPStreamParserTest, HeaderRulesForOtherProtocols) {
  const std::string raw =
      "HTTP/1.1 200 OK\r\n"
      "Content-Type: text/html\r\n"
      "CONNECTION: keep-alive\r\n"
      "keep-alive: timeout=5\r\n"
      "Transfer-Encoding: chunked\r\n"
      "Connection : stays\r\n"
      "\r\n" +
      chunked({"hel", "lo"});
  const std::string expected =
      "HTTP/1.1 200 OK\r\n"
      "Content-Type: text/html\r\n"
      "Connection : stays\r\n"
      "Connection: close\r\n"
      "X-Powered-By: nimbuswatch/1.0\r\n"
      "\r\n"
      "hello";
  EXPECT_EQ(exchange(raw, {raw}, kHTTP10), expected);
  EXPECT_EQ(exchange(raw, {raw}, {"HTTP/1.1 "}), expected);
  EXPECT_EQ(exchange(raw, {raw}, {"http/1.1"}), expected);
}

TEST_F(HTTPStreamParserTest, LineEndsAndContinuationLines) {
  const std::string raw =
      "HTTP/1.0 200 OK\n"
      "Content-Type: text/html\r\n"
      "X-Folded: one\r\n"
      "\ttwo\n"
      "  three\r\n"
      "Content-Length: 1\r\n"
      " 0\r\n"
      "X-Stray: a\rb\r\r\n"
      "\n"
      "0123456789";
  EXPECT_EQ(exchange(raw, {raw}, kHTTP10),
            "HTTP/1.0 200 OK\r\n"
            "Content-Type: text/html\r\n"
            "X-Folded: one\ttwo  three\r\n"
            "X-Stray: ab\r\n"
            "Connection: close\r\n"
            "X-Powered-By: nimbuswatch/1.0\r\n"
            "\r\n"
            // The folded length reads as "1 0", that is 1.
            "0");
}

TEST_F(HTTPStreamParserTest, LineIsWrittenOnlyWhenTheNextLineBegins) {
  const std::string raw = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nab";
  ResponseExchange response(raw, kHTTP10);
  const HTTP_FILTER_RAW_DATA first = response.feedRecord("HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(first.pvInData, nullptr);
  EXPECT_EQ(first.cbInData, 0u);
  EXPECT_EQ(response.feed("Content-Type: text/html\r\n"), "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(response.feed("\r"), "");
  EXPECT_EQ(response.feed("\nab"),
            "Content-Type: text/html\r\nConnection: close\r\nX-Powered-By: nimbuswatch/1.0\r\n\r\nab");
  EXPECT_EQ(response.finish(), "");
}

TEST_F(HTTPStreamParserTest, ContentLengthBoundsTheBody) {
  const std::string body(200, 'x');
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n";
  const std::string closing = "Connection: close\r\nX-Powered-By: nimbuswatch/1.0\r\n\r\n";

  const std::string declared = head + "Content-Length: 120\r\n\r\n" + body;
  ResponseExchange response(declared, kHTTP10);
  HTTPStreamParser parser(response.handler());
  parser.parse(declared.data(), static_cast<std::int32_t>(declared.size()));
  EXPECT_EQ(response.handler().outputBytes(), head + closing + body.substr(0, 120));
  EXPECT_TRUE(parser.isDone());
  parser.parse("more", 4);
  EXPECT_EQ(response.handler().outputBytes(), head + closing + body.substr(0, 120));

  // No usable length lets the body run to the end of the request; a length
  // beyond 32 bits (2^32 + 10) must not wrap to a short one.
  for (const std::string length : {"", "Content-Length: 0\r\n", "Content-Length: -5\r\n", "Content-Length: abc\r\n",
                                   "Content-Length: 4294967306\r\n"}) {
    const std::string raw = head + length + "\r\n" + body;
    EXPECT_EQ(exchange(raw, {raw}, kHTTP10), head + closing + body) << length;
  }
}

TEST_F(HTTPStreamParserTest, ContentLengthReadsAsAtoiInSixtyFourBitsWithoutWrapping) {
  constexpr auto kLargest = std::numeric_limits<std::int64_t>::max();
  constexpr auto kSmallest = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(parseContentLength("120"), 120);
  EXPECT_EQ(parseContentLength(" \t+42"), 42);
  EXPECT_EQ(parseContentLength("-5"), -5);
  EXPECT_EQ(parseContentLength("12abc"), 12);
  EXPECT_EQ(parseContentLength("abc"), 0);
  EXPECT_EQ(parseContentLength(""), 0);
  EXPECT_EQ(parseContentLength("- 5"), 0);
  EXPECT_EQ(parseContentLength("2147483648"), 2147483648);
  EXPECT_EQ(parseContentLength("4294967306"), 4294967306);
  EXPECT_EQ(parseContentLength("9223372036854775807"), kLargest);
  EXPECT_EQ(parseContentLength("9223372036854775808"), kLargest);
  EXPECT_EQ(parseContentLength("99999999999999999999999"), kLargest);
  EXPECT_EQ(parseContentLength("-9223372036854775808"), kSmallest);
  EXPECT_EQ(parseContentLength("-99999999999999999999"), kSmallest);

  // A page over 2 GiB expects all of its bytes, not 2^31 - 1 of them.
  const std::string raw = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 4294967306\r\n\r\nabc";
  ResponseExchange response(raw, kHTTP11);
  HTTPStreamParser parser(response.handler());
  parser.parse(raw.data(), static_cast<std::int32_t>(raw.size()));
  EXPECT_EQ(parser.remainingBytes(), 4294967306 - 3);
  EXPECT_FALSE(parser.isDone());
}

TEST_F(HTTPStreamParserTest, ChunkWithExtensionPassesExactlyItsData) {
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string raw = head + "1a;x=y\r\n" + letters + "\r\n0\r\n\r\n";

  ResponseExchange plain(raw, kHTTP10);
  HTTPStreamParser parser(plain.handler());
  parser.parse(raw.data(), static_cast<std::int32_t>(raw.size()));
  EXPECT_TRUE(parser.isDone());
  EXPECT_EQ(bodyPart(std::string(plain.handler().outputBytes())), letters);

  ResponseExchange rechunked(raw, kHTTP11);
  const std::string client = rechunked.feed(raw);
  EXPECT_EQ(bodyPart(client), "1a\r\n" + letters + "\r\n");
  EXPECT_EQ(rechunked.finish(), "0\r\n\r\n");
}

TEST_F(HTTPStreamParserTest, EachWriteIsOneChunk) {
  const std::string page(4096, 'p');
  const std::string raw = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 4096\r\n\r\n" + page;
  ResponseExchange response(raw, kHTTP11);
  EXPECT_EQ(bodyPart(response.feed(raw)), "1000\r\n" + page + "\r\n");
  EXPECT_EQ(response.finish(), "0\r\n\r\n");

  // Without chunked output a write is its bytes, nothing more.
  ResponseExchange plain(raw, kHTTP10);
  HTTPStreamParser parser(plain.handler());
  parser.write("abc", 3);
  parser.write(std::string_view());
  EXPECT_EQ(plain.handler().outputBytes(), "abc");
}

TEST_F(HTTPStreamParserTest, ChunkFramingAfterTheLastChunkIsNotExamined) {
  const std::string raw = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "3\r\nabc\r\n0;last\r\nX-Trailer: <textimage>t</textimage>\r\n\r\n3\r\ndef\r\n";
  EXPECT_EQ(bodyPart(exchange(raw, {raw}, kHTTP10)), "abc");
  // A size line that begins with no hexadecimal digit reads as size 0.
  const std::string sizeless = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "3\r\nabc\r\n;x\r\n3\r\ndef\r\n";
  EXPECT_EQ(bodyPart(exchange(sizeless, {sizeless}, kHTTP10)), "abc");
}

TEST_F(HTTPStreamParserTest, OversizedChunkSizeEndsTheBodyAsMalformed) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n";
  // 0x80000000 does not fit a signed count; 0x100000010 would wrap to 0x10
  // in 32 bits.
  for (const std::string size : {"80000000", "ffffffff", "100000010", "0000080000000", "123456789abcdef"}) {
    const std::string raw = head + "5\r\nhello\r\n" + size + "\r\n" + std::string(64, 'z') + "\r\n0\r\n\r\n";
    ResponseExchange response(raw, kHTTP11);
    HTTPStreamParser parser(response.handler());
    parser.parse(raw.data(), static_cast<std::int32_t>(raw.size()));
    EXPECT_TRUE(parser.isDone()) << size;
    parser.finish();
    EXPECT_EQ(bodyPart(std::string(response.handler().outputBytes())), "5\r\nhello\r\n0\r\n\r\n") << size;
  }
  const std::vector<std::string> log = fixture.logMessages();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) {
                            return line.starts_with("error: .\\src\\HTTPStreamParser:") &&
                                   line.ends_with(" refusing chunk size of more than 31 bits");
                          }),
            5);
}

// Leading zeros are valid HTTP: a size is read by its value, however it is
// written.
TEST_F(HTTPStreamParserTest, ChunkSizesAreReadByTheirValue) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string data(256, 'd');
  for (const std::string size : {"100", "000000100", "00000000000000000100", "0100;ext=1"}) {
    const std::string raw = head + size + "\r\n" + data + "\r\n0000\r\n\r\n";
    EXPECT_EQ(bodyPart(exchange(raw, {raw}, kHTTP10)), data) << size;
  }
  const std::string raw = head + "07fffffff;big\r\nabc";
  ResponseExchange response(raw, kHTTP10);
  HTTPStreamParser parser(response.handler());
  parser.parse(raw.data(), static_cast<std::int32_t>(raw.size()));
  EXPECT_FALSE(parser.isDone());
  EXPECT_EQ(parser.currentState(), HTTPStreamParser::State::ChunkData);
  EXPECT_EQ(parser.remainingBytes(), 0x7fffffff - 3);
  EXPECT_EQ(bodyPart(std::string(response.handler().outputBytes())), "abc");
}

TEST_F(HTTPStreamParserTest, UnknownTransferCodingDeclinesTheResponse) {
  for (const std::string coding : {"Chunked", "gzip, chunked", "identity"}) {
    const std::string raw = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: " + coding +
                            "\r\nContent-Length: 3\r\n\r\nabc";
    ResponseExchange response(raw, {"HTTP/1.1", "GET", "/declined.html"});
    EXPECT_EQ(response.run({raw}), raw) << coding;
    EXPECT_EQ(response.handler().getDecision(), 0);
  }
  const std::vector<std::string> log = fixture.logMessages();
  EXPECT_NE(std::find(log.begin(), log.end(), "notice: declining unknown Transfer-Encoding [Chunked]"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "notice: declined [HTTP/1.1] [/declined.html]"), log.end());
}

// Whole responses for the split runs: every framing, both protocols, pages
// with and without elements, elements cut by the chunk framing.
struct Sample {
  const char* name;
  std::string raw;
  // Also run at every pair of cuts (quadratic in the length).
  bool threeBlocks = false;
};

std::vector<Sample> samples() {
  const std::string page = "<p>Mail <textimage color=\"red\">me@example.org</textimage> or <TEXTIMAGE\n"
                           "size=12 font='x y'>Hi\nthere</textimage>.</p>";
  const std::string plainPage = "<html><body><a href=\"/\">home</a> <b>bold</b> &amp; <textimag>no</textimag></body>";
  return {
      {"length-framed with elements",
       "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) +
           "\r\n\r\n" + page + "trailing bytes beyond the length"},
      {"unframed with elements and bare line feeds",
       "HTTP/1.0 200 OK\nContent-Type: text/html; charset=iso-8859-1\nConnection: keep-alive\n\n" + page},
      {"chunked with extensions and continuation lines",
       "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nX-Folded: one\r\n two\r\nTransfer-Encoding: chunked\r\n\r\n" +
           chunked({"<p>A <text", "image>x</textim", "age> b <textimage font=", "\"f\">yy</textimage>", "</p>"},
                   ";ext=\"v\""),
       true},
      {"chunked without elements", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                       chunked({plainPage.substr(0, 20), plainPage.substr(20)})},
      {"length shorter than an unclosed element",
       "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 30\r\n\r\n"
       "text <textimage>never closed and more bytes after the length",
       true},
      {"short length-framed", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 26\r\n\r\n"
                              "a<textimage>b</textimage>c",
       true},
  };
}

class HTTPStreamSplitTest : public HTTPStreamParserTest {
 protected:
  // Checks that `blocks` give what the single block gave.
  void expectSame(const Sample& sample, const ExchangeOptions& options, const std::string& expected,
                  const Blocks& blocks) {
    const std::string client = exchange(sample.raw, blocks, options);
    const std::string view = clientView(client, options.protocol == "HTTP/1.1");
    if (view != expected) {
      ADD_FAILURE() << sample.name << " " << options.protocol << ", " << describeCuts(blocks) << "\nexpected ["
                    << expected << "]\nactual   [" << view << "]";
      ++failures;
    }
  }

  void checkSplits(const Sample& sample, const ExchangeOptions& options, std::mt19937& random) {
    const std::string_view raw = sample.raw;
    const std::string expected = clientView(exchange(raw, {raw}, options), options.protocol == "HTTP/1.1");
    for (std::size_t i = 0; i <= raw.size() && failures < 5; ++i) {
      expectSame(sample, options, expected, cutAt(raw, {i}));
    }
    if (sample.threeBlocks) {
      for (std::size_t i = 0; i <= raw.size() && failures < 5; ++i) {
        for (std::size_t j = i; j <= raw.size() && failures < 5; ++j) {
          expectSame(sample, options, expected, cutAt(raw, {i, j}));
        }
      }
    }
    expectSame(sample, options, expected, byteByByte(raw));
    for (int round = 0; round < 200 && failures < 5; ++round) {
      expectSame(sample, options, expected, randomBlocks(raw, random, 16));
    }
  }

  int failures = 0;
};

TEST_F(HTTPStreamSplitTest, OutputDoesNotDependOnWhereBlocksEnd) {
  std::mt19937 random(testSeed());
  for (const Sample& sample : samples()) {
    for (const ExchangeOptions& options : {kHTTP11, kHTTP10}) {
      checkSplits(sample, options, random);
    }
  }
}

TEST_F(HTTPStreamParserTest, SingleBlockRunsGiveTheRewrittenPages) {
  const std::vector<Sample> all = samples();
  const std::string shortRun = exchange(all[5].raw, {all[5].raw}, kHTTP10);
  EXPECT_EQ(bodyPart(shortRun),
            "a<img align=\"absmiddle\" border=\"0\" src=\"/textimages/" + onlyIdentifier() + ".gif\">c");

  // The body ends inside the element: it reaches the client as it stood.
  const std::string unclosedRun = exchange(all[4].raw, {all[4].raw}, kHTTP11);
  EXPECT_EQ(bodyPart(unclosedRun), "5\r\ntext \r\n19\r\n<textimage>never closed a\r\n0\r\n\r\n");
}

}  // namespace
}  // namespace nimbuswatch::test
