#include "core/ResponseHandler.h"

#include "HTMLStreamParser/HTMLStreamParser.h"
#include "SpoolStorage/SpoolStorage.h"
#include "support/ResponseExchange.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include "support/StreamTesting.h"

#include <algorithm>
#include <string>
#include <vector>

namespace nimbuswatch::test {
namespace {

const std::string kPage = "<p><textimage>Hi</textimage></p>";

std::string response(const std::string& statusLine, const std::string& headerLines, const std::string& body) {
  return statusLine + "\r\n" + headerLines + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string htmlResponse(const std::string& contentType = "text/html") {
  return response("HTTP/1.1 200 OK", "Content-Type: " + contentType + "\r\n", kPage);
}

class ResponseHandlerTest : public ::testing::Test {
 protected:
  ProcessFixture fixture;
};

TEST_F(ResponseHandlerTest, ContentTypeDecidesTheRewrite) {
  struct Case {
    std::string headerLines;
    bool rewritten;
  };
  const std::vector<Case> cases = {
      {"Content-Type: text/html; charset=iso-8859-1\r\n", true},
      {"content-TYPE: text/html\r\n", true},
      {"Content-Type: text/htmlx\r\n", true},
      {"Content-Type: Text/HTML\r\n", false},
      {"Content-Type: text/htm\r\n", false},
      {"Content-Type: image/gif\r\n", false},
      {"Content-Type:\r\n", false},
      {"", false},
  };
  for (const Case& c : cases) {
    const std::string raw = response("HTTP/1.1 200 OK", c.headerLines, kPage);
    ResponseExchange exchange(raw);
    const std::string client = exchange.run({raw});
    EXPECT_EQ(exchange.decision(), c.rewritten ? ResponseHandler::Decision::Rewrite : ResponseHandler::Decision::PassThrough) << c.headerLines;
    if (c.rewritten) {
      EXPECT_NE(client.find("\r\n\r\n3\r\n<p>\r\n"), std::string::npos) << client;
      EXPECT_NE(client.find("<img "), std::string::npos) << client;
      EXPECT_TRUE(client.ends_with("\r\n4\r\n</p>\r\n0\r\n\r\n")) << client;
    } else {
      EXPECT_EQ(client, raw);
    }
  }
}

TEST_F(ResponseHandlerTest, DeclinedResponseIsUntouchedAndLogsTwoNotices) {
  const std::string raw = htmlResponse("image/gif");
  ResponseExchange exchange(raw, {"HTTP/1.1", "GET", "/picture.gif"});
  for (const std::string_view block : {std::string_view(raw).substr(0, 20), std::string_view(raw).substr(20)}) {
    EXPECT_EQ(exchange.feed(block), block);
  }
  EXPECT_EQ(exchange.finish(), "");
  EXPECT_EQ(fixture.logMessages(), (std::vector<std::string>{"notice: Content-type=[image/gif]",
                                                             "notice: declined [HTTP/1.1] [/picture.gif]"}));
}

// The chunked framing and its last chunk would run into the next response of
// a kept-alive connection when the response has no body by HTTP.
TEST_F(ResponseHandlerTest, ResponseWithoutBodyIsDeclined) {
  struct Case {
    std::string method;
    DWORD status;
  };
  for (const Case& c : std::vector<Case>{{"HEAD", 200}, {"GET", 304}, {"GET", 204}, {"GET", 100}, {"GET", 101}}) {
    const std::string raw = c.status == 200 ? htmlResponse() : "HTTP/1.1 " + std::to_string(c.status) +
                                                                   " X\r\nContent-Type: text/html\r\n\r\n";
    ResponseExchange exchange(raw, {"HTTP/1.1", c.method, "/page.html", c.status});
    EXPECT_EQ(exchange.run({raw}), raw) << c.method << " " << c.status;
    EXPECT_EQ(exchange.decision(), ResponseHandler::Decision::PassThrough);
  }
  const std::vector<std::string> log = fixture.logMessages();
  EXPECT_EQ(std::count(log.begin(), log.end(), "notice: declined [HTTP/1.1] [/page.html]"), 5);
  EXPECT_EQ(std::count(log.begin(), log.end(), "notice: Content-type=[text/html]"), 5);

  // An error page has a body and is rewritten.
  const std::string notFound = response("HTTP/1.1 404 Not Found", "Content-Type: text/html\r\n", kPage);
  ResponseExchange exchange(notFound, {"HTTP/1.1", "GET", "/missing.html"});
  exchange.run({notFound});
  EXPECT_EQ(exchange.decision(), ResponseHandler::Decision::Rewrite);
  EXPECT_EQ(fixture.logMessages().back(), "notice: parsing [HTTP/1.1] [/missing.html]");
}

TEST_F(ResponseHandlerTest, BlockWithoutOutputBecomesAnEmptyBlock) {
  const std::string raw = htmlResponse();
  ResponseExchange exchange(raw);
  char block[64] = "HTTP/1.1 200 O";
  HTTP_FILTER_RAW_DATA record{block, 14, sizeof block, 0};
  exchange.handler().processRawData(record);
  EXPECT_EQ(record.pvInData, nullptr);
  EXPECT_EQ(record.cbInData, 0u);
  EXPECT_EQ(record.cbInBuffer, sizeof block);
}

TEST_F(ResponseHandlerTest, OutputReplacesTheBlockAndFinishAddsTheLastChunk) {
  const std::string raw = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nab<textimage>unclosed";
  ResponseExchange exchange(raw);
  std::string block = raw;
  HTTP_FILTER_RAW_DATA record{block.data(), static_cast<DWORD>(block.size()), static_cast<DWORD>(block.capacity()), 0};
  exchange.handler().processRawData(record);
  EXPECT_EQ(record.pvInData, exchange.handler().outputBytes().data());
  EXPECT_EQ(std::string(static_cast<const char*>(record.pvInData), record.cbInData),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n"
            "X-Powered-By: nimbuswatch/1.0\r\n\r\n2\r\nab\r\n");
  const ResponseHandler::Bytes final = exchange.handler().finish();
  EXPECT_EQ(std::string(final.data, static_cast<std::size_t>(final.length)),
            "13\r\n<textimage>unclosed\r\n0\r\n\r\n");
}

TEST_F(ResponseHandlerTest, HeadersAreReadOnlyAtTheFirstBlock) {
  const std::string raw = htmlResponse();
  const std::size_t headerEnd = raw.find("\r\n\r\n") + 4;
  ResponseExchange exchange(raw);
  exchange.feed(std::string_view(raw).substr(0, headerEnd));
  const std::size_t allocations = exchange.server().allocatedBlocks();
  server::setField(exchange.server().responseFields(), "Content-Type", "image/gif");
  server::setField(exchange.server().responseFields(), "Content-Length", "1");
  EXPECT_NE(exchange.feed(std::string_view(raw).substr(headerEnd)).find("<img "), std::string::npos);
  EXPECT_EQ(exchange.server().allocatedBlocks(), allocations);
  EXPECT_EQ(exchange.decision(), ResponseHandler::Decision::Rewrite);
}

TEST_F(ResponseHandlerTest, ResponseHeadersAreReadThroughGetHeader) {
  const std::string longValue(5000, 'v');
  ResponseExchange exchange("HTTP/1.1 200 OK\r\nX-Long: " + longValue + "\r\nx-empty:\r\nX-Case: Kept\r\n\r\n");
  ResponseHandler& handler = exchange.handler();
  EXPECT_EQ(handler.getResponseHeader("x-long"), longValue);
  EXPECT_EQ(handler.getResponseHeader("X-CASE"), "Kept");
  EXPECT_EQ(handler.getResponseHeader("X-Empty"), "");
  EXPECT_EQ(handler.getResponseHeader("X-Absent"), "");
  EXPECT_EQ(server::ServerConnection::lastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
}

// A spool that fails in a way no real one does: it raises the parser's
// internal-error exception from inside the rewriting of an element.
class FaultySpool : public SpoolStorage {
 public:
  using SpoolStorage::SpoolStorage;
  Stored storeTrusted(std::string) override { throw InternalError("dead loop detected"); }
};

TEST_F(ResponseHandlerTest, InternalErrorLeavesTheResponseUnchangedFromThenOn) {
  FaultySpool faulty(fixture.spoolDir());
  processValues().spool = &faulty;
  const std::string raw = htmlResponse();
  const std::size_t elementStart = raw.find("<textimage>");
  const std::string first = raw.substr(0, elementStart);
  // The element completes, and its rewriting fails, in the second block.
  const std::string second = raw.substr(elementStart, 28);
  const std::string third = raw.substr(elementStart + 28);

  ResponseExchange exchange(raw);
  EXPECT_TRUE(exchange.feed(first).starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding"));
  EXPECT_EQ(exchange.feed(second), second);
  EXPECT_EQ(exchange.feed(third), third);
  EXPECT_EQ(exchange.finish(), "");
  EXPECT_EQ(exchange.decision(), ResponseHandler::Decision::PassThrough);

  const std::vector<std::string> log = fixture.logMessages();
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(log.back().starts_with("critical: .\\src\\core:")) << log.back();
  EXPECT_TRUE(log.back().ends_with(" internal error, passing the response on unchanged: dead loop detected"))
      << log.back();
}


// Responses that hold part of a page but cannot be rewritten: a range of a
// page, and several ranges among which is a page. They are cut off before
// the first byte of the page, wherever the blocks end; other ranges and a
// compressed page pass untouched.
struct WatchCase {
  std::string name;
  std::string raw;
  // Cut off: what reaches the client is a prefix of `raw` that ends before
  // `firstPageByte` and, unless `headLost`, holds the whole head.
  bool cutOff;
  std::string firstPageByte;
  bool headLost = false;
};

std::string partial(const std::string& fields, const std::string& body) {
  return response("HTTP/1.1 206 Partial Content", fields, body);
}

std::string multipart(const std::string& boundary, const std::vector<std::pair<std::string, std::string>>& parts) {
  std::string body = "\r\n";
  for (const auto& [type, data] : parts) {
    body += "--" + boundary + "\r\nContent-Type: " + type + "\r\nContent-Range: bytes 0-9/100\r\n\r\n" + data + "\r\n";
  }
  return body + "--" + boundary + "--\r\n";
}

std::vector<WatchCase> watchCases() {
  const std::string address = "<textimage size=16>sales@example.org</textimage>";
  const std::string boundary = "00000000000000000002";
  const std::string byteRanges = "Content-Type: multipart/byteranges; boundary=" + boundary + "\r\n";
  // A part's data that looks like part headers and a delimiter, but is not.
  const std::string lookalike = "--" + boundary + "X\r\nContent-Type: text/html\r\n\r\n";
  return {
      {"a range of a page", partial("Content-Type: text/html\r\nContent-Range: bytes 19-90/129\r\n", address), true,
       "<textimage"},
      {"a chunked range of a page",
       "HTTP/1.1 206 Partial Content\r\nContent-Type: text/html; charset=utf-8\r\nTransfer-Encoding: chunked\r\n\r\n"
       "8\r\nsales@ex\r\n0\r\n\r\n",
       true, "sales@"},
      {"a range of a page in an unknown transfer coding",
       "HTTP/1.1 206 Partial Content\r\nContent-Type: text/html\r\nTransfer-Encoding: gzip, chunked\r\n\r\nsales@",
       true, "HTTP", true},
      {"ranges of a page", partial(byteRanges, multipart(boundary, {{"text/html", address}, {"text/html", "b"}})),
       true, "<textimage"},
      {"ranges whose second part is a page, quoted boundary in another letter case",
       partial("Content-Type: Multipart/ByteRanges; boundary=\"" + boundary + "\"\r\n",
               multipart(boundary, {{"text/plain", "plain text"}, {"text/html;charset=utf-8", address}})),
       true, "<textimage"},
      {"ranges without a boundary", partial("Content-Type: multipart/byteranges\r\n", multipart(boundary, {{"text/html", address}})),
       true, "\r\n--"},
      {"compressed ranges", partial(byteRanges + "Content-Encoding: gzip\r\n", "\x1f\x8b compressed"), true, "\x1f\x8b"},
      {"ranges of a PDF whose data look like a page part",
       partial(byteRanges, multipart(boundary, {{"application/pdf", lookalike}, {"application/pdf", address}})), false, ""},
      {"a range of a picture", partial("Content-Type: image/png\r\n", address), false, ""},
      {"a compressed page", response("HTTP/1.1 200 OK", "Content-Type: text/html\r\nContent-Encoding: gzip\r\n", address),
       false, ""},
      {"a page in the identity coding", response("HTTP/1.1 200 OK", "Content-Type: text/html\r\nContent-Encoding: identity\r\n", "x"),
       false, ""},
  };
}

// The problem with what reached the client, or nothing.
std::string watchProblem(const WatchCase& c, const Blocks& blocks) {
  ResponseExchange exchange(c.raw);
  const std::string client = exchange.run(blocks);
  const std::string where = c.name + ", " + describeCuts(blocks) + ": [" + client + "]";
  if (c.name == "a page in the identity coding") {
    return exchange.decision() == ResponseHandler::Decision::Rewrite ? "" : where + " not rewritten";
  }
  if (!c.cutOff) {
    return client == c.raw && !exchange.wasCutOff() ? "" : where + " was changed";
  }
  const std::size_t head = c.headLost ? 0 : c.raw.find("\r\n\r\n") + 4;
  if (!exchange.wasCutOff() || !c.raw.starts_with(client) || client.size() < head ||
      client.size() > c.raw.find(c.firstPageByte)) {
    return where + " not cut off before the page";
  }
  return "";
}

TEST_F(ResponseHandlerTest, RangesOfAPageAreCutOffWhereverTheBlocksEnd) {
  for (const WatchCase& c : watchCases()) {
    forEachCutting(c.raw, {}, [&c](const Blocks& blocks) {
      const std::string problem = watchProblem(c, blocks);
      EXPECT_EQ(problem, "");
      return problem.empty();
    });
  }
  const std::vector<std::string> log = fixture.logMessages();
  EXPECT_NE(std::find(log.begin(), log.end(), "warning: partial page cut off: /page.html"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "warning: compressed page not rewritten: /page.html"), log.end());
}

}  // namespace
}  // namespace nimbuswatch::test
