#include "HTTPStreamParser/HTTPStreamParser.h"

#include "HTTPStreamParser/HttpRules.h"

#include "HTMLStreamParser/ElementRecord.h"
#include "HTMLStreamParser/TextimageRewriter.h"
#include "core/ResponseHandler.h"
#include "platform/Digest.h"
#include "support/ResponseExchange.h"
#include "support/StreamTesting.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace nimbuswatch::test {
namespace {

const ExchangeOptions kHTTP11{"HTTP/1.1"};
const ExchangeOptions kHTTP10{"HTTP/1.0"};

// A chunked body of the given pieces, each chunk-size line carrying `extension`.
std::string chunked(const std::vector<std::string>& pieces, const std::string& extension = "") {
  std::string body;
  char size[kChunkSizeLineRoom];
  for (const std::string& piece : pieces) {
    body.append(size, writeChunkSizeLine(size, piece.size()) - 2);
    body += extension + "\r\n" + piece + "\r\n";
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

// A parser made as the response handler makes it, from the framing headers
// of `raw` and the request's protocol; its output is collected.
class ParserUnderTest {
 public:
  ParserUnderTest(const std::string& raw, const ExchangeOptions& options)
      : transferEncoding(header(raw, options, "transfer-encoding")),
        contentLength(header(raw, options, "content-length")),
        protocol(options.protocol),
        parser(ResponseFacts{transferEncoding, contentLength, protocol}, Writer::to<&ParserUnderTest::append>(*this),
               processValues().elementStore()) {}

  std::string output;

 private:
  static std::string header(const std::string& raw, const ExchangeOptions&, const std::string& name) {
    return server::fieldValue(headerFieldsOf(raw), name).value_or("");
  }
  void append(const char* data, std::int32_t length) { output.append(data, static_cast<std::size_t>(length)); }

  std::string transferEncoding;
  std::string contentLength;
  std::string protocol;

 public:
  HTTPStreamParser parser;
};

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

TEST_F(HTTPStreamParserTest, LineIsWrittenOnlyWhenTheNextLineBegins) {
  const std::string raw = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nab";
  ResponseExchange response(raw, kHTTP10);
  EXPECT_EQ(response.feed("HTTP/1.1 200 OK\r\n"), "");
  EXPECT_EQ(response.feed("Content-Type: text/html\r\n"), "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(response.feed("\r"), "");
  EXPECT_EQ(response.feed("\nab"),
            "Content-Type: text/html\r\nConnection: close\r\nX-Powered-By: nimbuswatch/1.0\r\n\r\nab");
  EXPECT_EQ(response.finish(), "");
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
  ParserUnderTest response(raw, kHTTP11);
  HTTPStreamParser& parser = response.parser;
  parser.parse(raw.data(), static_cast<std::int32_t>(raw.size()));
  EXPECT_EQ(parser.remainingBytes(), 4294967306 - 3);
  EXPECT_FALSE(parser.isDone());
}

TEST_F(HTTPStreamParserTest, EachWriteIsOneChunk) {
  const std::string page(4096, 'p');
  const std::string raw = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 4096\r\n\r\n" + page;
  ResponseExchange response(raw, kHTTP11);
  EXPECT_EQ(bodyPart(response.feed(raw)), "1000\r\n" + page + "\r\n");
  EXPECT_EQ(response.finish(), "0\r\n\r\n");

  // Without chunked output a write is its bytes, nothing more.
  ParserUnderTest plain(raw, kHTTP10);
  HTTPStreamParser& parser = plain.parser;
  parser.write("abc", 3);
  parser.write(std::string_view());
  EXPECT_EQ(plain.output, "abc");
}

TEST_F(HTTPStreamParserTest, OversizedChunkSizeEndsTheBodyAsMalformed) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n";
  // 0x80000000 does not fit a signed count; 0x100000010 would wrap to 0x10
  // in 32 bits.
  for (const std::string size : {"80000000", "ffffffff", "100000010", "0000080000000", "123456789abcdef"}) {
    const std::string raw = head + "5\r\nhello\r\n" + size + "\r\n" + std::string(64, 'z') + "\r\n0\r\n\r\n";
    ParserUnderTest response(raw, kHTTP11);
    HTTPStreamParser& parser = response.parser;
    parser.parse(raw.data(), static_cast<std::int32_t>(raw.size()));
    EXPECT_TRUE(parser.isDone()) << size;
    parser.finish();
    EXPECT_EQ(bodyPart(response.output), "5\r\nhello\r\n0\r\n\r\n") << size;
  }
  const std::vector<std::string> log = fixture.logMessages();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) {
                            return line.starts_with("error: .\\src\\HTTPStreamParser:") &&
                                   line.ends_with(" refusing chunk size of more than 31 bits");
                          }),
            5);
}

TEST_F(HTTPStreamParserTest, LargestChunkSizeIsAcceptedWithLeadingZeros) {
  const std::string raw = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "07fffffff;big\r\nabc";
  ParserUnderTest response(raw, kHTTP10);
  HTTPStreamParser& parser = response.parser;
  parser.parse(raw.data(), static_cast<std::int32_t>(raw.size()));
  EXPECT_FALSE(parser.isDone());
  EXPECT_EQ(parser.currentState(), HTTPStreamParser::State::ChunkData);
  EXPECT_EQ(parser.remainingBytes(), 0x7fffffff - 3);
  EXPECT_EQ(bodyPart(response.output), "abc");
}

TEST_F(HTTPStreamParserTest, UnknownTransferCodingDeclinesTheResponse) {
  for (const std::string coding : {"Chunked", "gzip, chunked", "identity"}) {
    const std::string raw = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: " + coding +
                            "\r\nContent-Length: 3\r\n\r\nabc";
    ResponseExchange response(raw, {"HTTP/1.1", "GET", "/declined.html"});
    response.run({raw});
    EXPECT_EQ(response.decision(), ResponseHandler::Decision::PassThrough);
  }
  const std::vector<std::string> log = fixture.logMessages();
  EXPECT_NE(std::find(log.begin(), log.end(), "notice: declining unknown Transfer-Encoding [Chunked]"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "notice: declined [HTTP/1.1] [/declined.html]"), log.end());
}

// The img markup that replaces an element with this cleaned text.
std::string img(const std::string& text, std::map<std::string, std::string> attributes = {}) {
  ElementRecord record;
  record.name = "textimage";
  record.text = text;
  record.attributes = std::move(attributes);
  return imgMarkup(record, "/textimages/", platform::md5Hex(describeElement(record)));
}

// One response as the server sends it and what the client makes of it: the
// header section and, for chunked output, the data of the chunks, whose
// framing must be sound. The same whatever the blocks.
struct Case {
  std::string name;
  std::string raw;
  ExchangeOptions options;
  std::string expected;
  // Also run at every pair of cuts (quadratic in the length).
  bool threeBlocks = false;
};

const std::string kHtml = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
const std::string kChunkedHtml = kHtml + "Transfer-Encoding: chunked\r\n\r\n";
const std::string kClose = "Connection: close\r\nX-Powered-By: nimbuswatch/1.0\r\n\r\n";
const std::string kChunked = "Transfer-Encoding: chunked\r\nX-Powered-By: nimbuswatch/1.0\r\n\r\n";

std::vector<Case> cases() {
  const std::string page = "<p>Mail <textimage color=\"red\">me@example.org</textimage> or <TEXTIMAGE\n"
                           "size=12 font='x y'>Hi\nthere</textimage>.</p>";
  const std::string rewritten = "<p>Mail " + img("me@example.org", {{"color", "\"red\""}}) + " or " +
                                img("Hi there", {{"size", "12"}, {"font", "'x y'"}}) + ".</p>";
  const std::string plainPage = "<html><body><a href=\"/\">home</a> <b>bold</b> &amp; <textimag>no</textimag></body>";
  const std::string body(200, 'x');
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  const std::string data(256, 'd');
  std::vector<Case> all = {
      {"header rules for HTTP/1.1",
       "HTTP/1.1 200 OK: fine\r\nDate: Tue, 08 Dec 2026 03:00:00 GMT\r\nContent-Type: text/html\r\n"
       "content-LENGTH: 12\r\nConnection: keep-alive\r\nKeep-Alive: timeout=5\r\nX-Powered-By: Origin/2\r\n"
       "Content-Length : 3\r\nA line without colon\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked({"hello"}),
       kHTTP11,
       "HTTP/1.1 200 OK: fine\r\nDate: Tue, 08 Dec 2026 03:00:00 GMT\r\nContent-Type: text/html\r\n"
       "Connection: keep-alive\r\nKeep-Alive: timeout=5\r\nX-Powered-By: Origin/2\r\nContent-Length : 3\r\n"
       "A line without colon\r\n" + kChunked + "hello"},
      {"a rewritten page serves no ranges and carries a weak entity tag",
       kHtml + "Accept-Ranges: bytes\r\nETag:  \"5f1-abc\"\r\nLast-Modified: Tue, 08 Dec 2026 03:00:00 GMT\r\n"
       "accept-RANGES: none\r\nEtag: W/\"weak\"\r\nETag: unquoted\r\nContent-Length: 5\r\n\r\nhello",
       kHTTP11,
       kHtml + "ETag:  W/\"5f1-abc\"\r\nLast-Modified: Tue, 08 Dec 2026 03:00:00 GMT\r\nEtag: W/\"weak\"\r\n"
       "ETag: unquoted\r\n" + kChunked + "hello"},
      {"line ends and continuation lines",
       "HTTP/1.0 200 OK\nContent-Type: text/html\r\nX-Folded: one\r\n\ttwo\n  three\r\nContent-Length: 1\r\n 0\r\n"
       "X-Stray: a\rb\r\r\n\n0123456789",
       kHTTP10,
       // The folded length reads as "1 0", that is 1.
       "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nX-Folded: one\ttwo  three\r\nX-Stray: ab\r\n" + kClose + "0"},
      {"a length bounds the body", kHtml + "Content-Length: 120\r\n\r\n" + body, kHTTP10,
       kHtml + kClose + body.substr(0, 120)},
      {"chunk with an extension", kChunkedHtml + "1a;x=y\r\n" + letters + "\r\n0\r\n\r\n", kHTTP11,
       kHtml + kChunked + letters},
      {"framing after the last chunk is not examined",
       kChunkedHtml + "3\r\nabc\r\n0;last\r\nX-Trailer: <textimage>t</textimage>\r\n\r\n3\r\ndef\r\n", kHTTP10,
       kHtml + kClose + "abc"},
      {"a size line without a digit reads as 0", kChunkedHtml + "3\r\nabc\r\n;x\r\n3\r\ndef\r\n", kHTTP10,
       kHtml + kClose + "abc"},
      {"length-framed with elements",
       kHtml + "Content-Length: " + std::to_string(page.size()) + "\r\n\r\n" + page + "trailing bytes beyond the length",
       kHTTP11, kHtml + kChunked + rewritten},
      {"unframed with elements and bare line feeds",
       "HTTP/1.0 200 OK\nContent-Type: text/html; charset=iso-8859-1\nConnection: keep-alive\n\n" + page, kHTTP10,
       "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=iso-8859-1\r\n" + kClose + rewritten},
      {"chunked with extensions, continuation lines and elements cut by the framing",
       kHtml + "X-Folded: one\r\n two\r\nTransfer-Encoding: chunked\r\n\r\n" +
           chunked({"<p>A <text", "image>x</textim", "age> b <textimage font=", "\"f\">yy</textimage>", "</p>"},
                   ";ext=\"v\""),
       kHTTP11, kHtml + "X-Folded: one two\r\n" + kChunked + "<p>A " + img("x") + " b " + img("yy", {{"font", "\"f\""}}) + "</p>",
       true},
      {"chunked without elements", kChunkedHtml + chunked({plainPage.substr(0, 20), plainPage.substr(20)}), kHTTP10,
       kHtml + kClose + plainPage},
      {"a length that ends inside an unclosed element",
       kHtml + "Content-Length: 30\r\n\r\ntext <textimage>never closed and more bytes after the length", kHTTP11,
       kHtml + kChunked + "text <textimage>never closed a", true},
      {"short length-framed", kHtml + "Content-Length: 26\r\n\r\na<textimage>b</textimage>c", kHTTP10,
       kHtml + kClose + "a" + img("b") + "c", true},
  };
  // Other protocols than exactly "HTTP/1.1" get the unframed form and lose
  // the connection headers.
  const std::string keepAlive = kHtml + "CONNECTION: keep-alive\r\nkeep-alive: timeout=5\r\nTransfer-Encoding: chunked\r\n"
                                "Connection : stays\r\n\r\n" + chunked({"hel", "lo"});
  for (const char* protocol : {"HTTP/1.0", "HTTP/1.1 ", "http/1.1"}) {
    all.push_back({std::string("connection headers for ") + protocol, keepAlive, {protocol},
                   kHtml + "Connection : stays\r\n" + kClose + "hello"});
  }
  // No usable length lets the body run to the end of the request; a length
  // beyond 32 bits (2^32 + 10) must not wrap to a short one.
  for (const std::string length : {"", "Content-Length: 0\r\n", "Content-Length: -5\r\n", "Content-Length: abc\r\n",
                                   "Content-Length: 4294967306\r\n"}) {
    all.push_back({"no usable length: " + length, kHtml + length + "\r\n" + body, kHTTP10, kHtml + kClose + body});
  }
  // Leading zeros are valid HTTP: a chunk size is read by its value.
  for (const std::string size : {"100", "000000100", "00000000000000000100", "0100;ext=1"}) {
    all.push_back({"chunk size " + size, kChunkedHtml + size + "\r\n" + data + "\r\n0000\r\n\r\n", kHTTP11,
                   kHtml + kChunked + data});
  }
  // A size of 0x80000000 or more ends the body as malformed.
  for (const std::string size : {"80000000", "ffffffff", "100000010", "0000080000000", "123456789abcdef"}) {
    all.push_back({"oversized chunk size " + size,
                   kChunkedHtml + "5\r\nhello\r\n" + size + "\r\n" + std::string(64, 'z') + "\r\n0\r\n\r\n", kHTTP11,
                   kHtml + kChunked + "hello"});
  }
  // A transfer coding other than exactly "chunked" passes the response on.
  for (const std::string coding : {"Chunked", "gzip, chunked", "identity"}) {
    const std::string raw = kHtml + "Transfer-Encoding: " + coding + "\r\nContent-Length: 3\r\n\r\nabc";
    all.push_back({"unknown transfer coding " + coding, raw, kHTTP10, raw});
  }
  return all;
}

class HTTPStreamSplitTest : public HTTPStreamParserTest {
 protected:
  void expectView(const Case& c, const Blocks& blocks) {
    const std::string client = exchange(c.raw, blocks, c.options);
    const std::string view = clientView(client, c.options.protocol == "HTTP/1.1" && c.expected != c.raw);
    if (view != c.expected) {
      ADD_FAILURE() << c.name << ", " << describeCuts(blocks) << "\nexpected [" << c.expected << "]\nactual   ["
                    << view << "]";
      ++failures;
    }
  }

  int failures = 0;
};

// Every case at every cut into two blocks, byte by byte, at random cuts and,
// for the short ones, at every pair of cuts.
TEST_F(HTTPStreamSplitTest, EveryResponseGivesItsOutputWhereverBlocksEnd) {
  std::mt19937 random(testSeed());
  for (const Case& c : cases()) {
    forEachCutting(c.raw, {c.threeBlocks, 50, &random}, [&](const Blocks& blocks) {
      expectView(c, blocks);
      return failures < 5;
    });
  }
}

}  // namespace
}  // namespace nimbuswatch::test
