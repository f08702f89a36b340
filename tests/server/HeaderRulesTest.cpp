// The header rules every server shares: field lookup, what a proxy drops, reading
// back the head that went to the client, and the keep-alive decision.
#include "server/EmittedHead.h"
#include "server/HeaderFields.h"

#include <gtest/gtest.h>

namespace nimbuswatch::server {
namespace {

TEST(HeaderFieldsTest, LooksUpWithoutCaseAndJoinsRepeatedFields) {
  Fields fields{{"Cache-Control", "no-cache"}, {"content-type", "text/html"}, {"CACHE-CONTROL", "private"}};
  EXPECT_EQ(fieldValue(fields, "Content-Type"), "text/html");
  EXPECT_EQ(fieldValue(fields, "cache-control"), "no-cache, private");
  EXPECT_FALSE(fieldValue(fields, "Content-Length").has_value());

  setField(fields, "Cache-Control", "max-age=0");
  EXPECT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[0].name, "Cache-Control");
  EXPECT_EQ(fields[0].value, "max-age=0");
  removeField(fields, "CONTENT-type");
  EXPECT_EQ(fields.size(), 1u);
}

TEST(HeaderFieldsTest, TokensAreCommaSeparatedAndTrimmed) {
  EXPECT_TRUE(hasToken("keep-alive, Upgrade", "upgrade"));
  EXPECT_TRUE(hasToken(" Close ", "close"));
  EXPECT_FALSE(hasToken("closed", "close"));
  EXPECT_EQ(lastToken("gzip,  chunked "), "chunked");
  EXPECT_EQ(lastToken(""), "");
}

TEST(HeaderFieldsTest, DropsHopByHopFieldsButNeverTheFraming) {
  Fields fields{{"Connection", "keep-alive, X-Secret, Transfer-Encoding"},
                {"Keep-Alive", "timeout=5"},
                {"x-secret", "1"},
                {"Proxy-Connection", "keep-alive"},
                {"Transfer-Encoding", "chunked"},
                {"Content-Type", "text/html"}};
  dropHopByHopFields(fields);
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[0].name, "Transfer-Encoding");
  EXPECT_EQ(fields[1].name, "Content-Type");
}

TEST(HeaderFieldsTest, SerializesStatusLineFieldsAndEmptyLine) {
  EXPECT_EQ(serializeHead(11, 404, reasonPhrase(404), {{"Content-Length", "3"}}),
            "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\n");
}

TEST(EmittedHeadTest, ReadsFramingAndConnectionFields) {
  const auto head = parseEmittedHead(
      "HTTP/1.1 200 OK\r\ncontent-length: 12\r\nConnection: Keep-Alive, x\r\nTransfer-Encoding: gzip, chunked\r\n\r\n");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->version, 11u);
  EXPECT_EQ(head->status, 200u);
  EXPECT_TRUE(head->hasContentLength);
  EXPECT_TRUE(head->chunked);
  EXPECT_TRUE(head->connectionKeepAlive);
  EXPECT_FALSE(head->connectionClose);

  const auto conflicting = parseEmittedHead("HTTP/1.0 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n");
  ASSERT_TRUE(conflicting);
  EXPECT_TRUE(conflicting->badContentLength);
}

TEST(EmittedHeadTest, RejectsWhatIsNotAHead) {
  EXPECT_FALSE(parseEmittedHead("HTTP/2.0 200 OK\r\n\r\n"));
  EXPECT_FALSE(parseEmittedHead("HTTP/1.1 20 OK\r\n\r\n"));
  EXPECT_FALSE(parseEmittedHead("HTTP/1.1 200 OK\r\nno colon here\r\n\r\n"));
  EXPECT_FALSE(parseEmittedHead("HTTP/1.1 200 OK\r\nA: b\r\n"));
  EXPECT_TRUE(parseEmittedHead("HTTP/1.1 200\r\n\r\n"));
}

TEST(EmittedHeadTest, ScannerFindsTheHeadAtEverySplit) {
  const std::string bytes = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";
  for (std::size_t first = 0; first <= bytes.size(); ++first) {
    for (std::size_t second = first; second <= bytes.size(); second += 7) {
      EmittedHeadScanner scanner;
      scanner.feed(std::string_view(bytes).substr(0, first));
      scanner.feed(std::string_view(bytes).substr(first, second - first));
      scanner.feed(std::string_view(bytes).substr(second));
      ASSERT_TRUE(scanner.head()) << first << "/" << second;
      EXPECT_TRUE(scanner.head()->connectionClose);
      EXPECT_TRUE(scanner.head()->hasContentLength);
    }
  }
}

TEST(EmittedHeadTest, ScannerGivesUpOnAnEndlessHead) {
  EmittedHeadScanner scanner;
  scanner.feed("HTTP/1.1 200 OK\r\n");
  const std::string line = "X-Filler: " + std::string(1000, 'x') + "\r\n";
  for (int i = 0; i < 70 && !scanner.finished(); ++i) {
    scanner.feed(line);
  }
  EXPECT_TRUE(scanner.finished());
  EXPECT_FALSE(scanner.head());
  EXPECT_FALSE(keepConnection({}, scanner.head()));
}

struct KeepCase {
  const char* name;
  RequestFacts request;
  const char* head;
  bool keep;
};

TEST(EmittedHeadTest, KeepsTheConnectionOnlyWhenTheClientCanFindTheEnd) {
  const RequestFacts http11{11, true, false};
  const RequestFacts http10{10, false, false};
  const RequestFacts http10KeepAlive{10, true, false};
  const RequestFacts head11{11, true, true};
  const KeepCase cases[] = {
      {"length", http11, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", true},
      {"chunked", http11, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", true},
      {"unframed", http11, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n", false},
      {"close", http11, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\n", false},
      {"length and chunked", http11, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n",
       false},
      {"gzip only", http11, "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", false},
      {"bad length", http11, "HTTP/1.1 200 OK\r\nContent-Length: 3x\r\n\r\n", false},
      {"client asked to close", {11, false, false}, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", false},
      {"1.0 without keep-alive", http10, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", false},
      {"1.0 granted", http10KeepAlive, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: keep-alive\r\n\r\n",
       true},
      {"1.0 not granted", http10KeepAlive, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", false},
      {"1.0 chunked", http10KeepAlive, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: keep-alive\r\n\r\n",
       false},
      {"1.0 head from server", http11, "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\n", false},
      {"HEAD needs no framing", head11, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n", true},
      {"304 needs no framing", http11, "HTTP/1.1 304 Not Modified\r\n\r\n", true},
  };
  for (const KeepCase& c : cases) {
    EXPECT_EQ(keepConnection(c.request, parseEmittedHead(c.head)), c.keep) << c.name;
  }
}

TEST(EmittedHeadTest, HostWritesTheConnectionFieldItsDecisionNeeds) {
  EXPECT_EQ(connectionFieldFor({11, true, false}, true), "");
  EXPECT_EQ(connectionFieldFor({11, true, false}, false), "close");
  EXPECT_EQ(connectionFieldFor({11, false, false}, true), "close");
  EXPECT_EQ(connectionFieldFor({10, true, false}, true), "keep-alive");
  EXPECT_EQ(connectionFieldFor({10, false, false}, true), "close");
}

}  // namespace
}  // namespace nimbuswatch::server
