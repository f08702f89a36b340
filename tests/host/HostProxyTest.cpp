// nimbuswatch-host as a reverse proxy in front of Debian's nginx, which
// serves one page with Content-Length and, through SSI, one page chunked,
// and in front of a scripted upstream that misbehaves.
#include "HostTesting.h"

#include "support/RawHttp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

namespace nimbuswatch::test {
namespace {

using Reply = ScriptedUpstream::Reply;
using Then = ScriptedUpstream::Then;

const std::string kSsiPage = "<html><body><p>Served as <!--# echo var=\"DOCUMENT_URI\" --></p>\n" + numberedPage(300);
const std::string kSsiResult = "<html><body><p>Served as /ssi/page.html</p>\n" + numberedPage(300);

class HostProxyTest : public ::testing::Test {
 protected:
  HostProxyTest() {
    std::filesystem::create_directories(site.page("ssi"));
    writeFile(site.page("ssi/page.html"), kSsiPage);
  }

  std::vector<std::string> proxyArguments(const std::string& filter, std::vector<std::string> extra = {}) const {
    std::vector<std::string> arguments{"--upstream", nginx.hostPort(), "--config", site.config(),
                                       "--filter", filter, "--threads", "2"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
  }

  HostSite site;
  // Compresses whatever it may, so a forwarded Accept-Encoding would show.
  NginxServer nginx{site.root(), "    gzip on;\n    gzip_types text/html text/css;\n    gzip_min_length 1;\n"
                                 "    location /ssi/ { ssi on; }\n"};
};

TEST_F(HostProxyTest, PassesLengthAndChunkedPagesThroughTheFilterAsTheyArrive) {
  for (const char* blockSize : {"16384", "1"}) {
    HostProcess host(kHost, proxyArguments(kSwapCaseFilter, {"--block-size", blockSize}));
    RawConnection client(host.port());
    const RawResponse plain = client.exchange(getRequest("/page.html", "Accept-Encoding: gzip\r\n"));
    EXPECT_FALSE(plain.chunked);
    EXPECT_EQ(plain.body, swapCase(readFile(site.page("page.html")))) << blockSize;
    const RawResponse chunked = client.exchange(getRequest("/ssi/page.html", "Accept-Encoding: gzip\r\n"));
    EXPECT_TRUE(chunked.chunked);
    EXPECT_EQ(chunked.body, swapCase(kSsiResult)) << blockSize;
    EXPECT_FALSE(client.closedByPeer(std::chrono::milliseconds(100)));
  }
}

TEST_F(HostProxyTest, AFilterThatReframesMeetsUpstreamBytesInOneByteBlocks) {
  HostProcess host(kHost, proxyArguments(kChunkingFilter, {"--block-size", "1"}));
  RawConnection client(host.port());
  for (int i = 0; i < 2; ++i) {
    const RawResponse response = client.exchange(getRequest("/page.html"));
    EXPECT_TRUE(response.chunked);
    EXPECT_EQ(response.body, readFile(site.page("page.html")));
  }
}

TEST_F(HostProxyTest, TheFilterSeesNoHopByHopFieldsAndNginxNoAcceptEncoding) {
  HostProcess host(kHost, proxyArguments(kRecordingFilter), site.environment());
  RawConnection client(host.port());
  const RawResponse response = client.exchange(getRequest("/page.html", "Accept-Encoding: gzip, br\r\n"));
  EXPECT_FALSE(response.has("keep-alive"));
  EXPECT_FALSE(response.has("content-encoding"));
  const std::string filterLog = readFile(site.logPath());
  EXPECT_NE(filterLog.find("SEND_RESPONSE 200 type=text/html connection=<absent> keep-alive=<absent> encoding=<absent>"),
            std::string::npos)
      << filterLog;
  const auto log = nginx.accessLog(1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(log[0].ends_with("\"GET /page.html HTTP/1.1\" -")) << log[0];
}

TEST_F(HostProxyTest, KeepsTheUpstreamConnectionAcrossRequests) {
  HostProcess host(kHost, proxyArguments(kRecordingFilter), site.environment());
  RawConnection client(host.port());
  for (const char* page : {"/page.html", "/ssi/page.html", "/style.css"}) {
    EXPECT_EQ(client.exchange(getRequest(page)).status, 200u) << page;
  }
  const auto log = nginx.accessLog(3);
  ASSERT_EQ(log.size(), 3u);
  const std::string connection = log[0].substr(0, log[0].find(' '));
  for (std::size_t i = 0; i < log.size(); ++i) {
    EXPECT_TRUE(log[i].starts_with(connection + " " + std::to_string(i + 1) + " ")) << log[i];
  }
}

TEST_F(HostProxyTest, AnHttp10ClientGetsChunkedPagesDecodedAndClosed) {
  HostProcess host(kHost, proxyArguments(kRecordingFilter), site.environment());
  {
    RawConnection client(host.port());
    const RawResponse response =
        client.exchange(getRequest("/ssi/page.html", "Connection: keep-alive\r\n", "GET", "HTTP/1.0"));
    EXPECT_TRUE(response.untilClose);
    EXPECT_EQ(response.body, kSsiResult);
    EXPECT_EQ(response.field("connection"), "close");
    EXPECT_TRUE(client.closedByPeer());
  }
  RawConnection client(host.port());
  const std::string request = getRequest("/page.html", "Connection: keep-alive\r\n", "GET", "HTTP/1.0");
  EXPECT_EQ(client.exchange(request).field("connection"), "keep-alive");
  EXPECT_EQ(client.exchange(request).body, readFile(site.page("page.html")));
}

TEST_F(HostProxyTest, HeadAndErrorsOfTheUpstreamPassThrough) {
  HostProcess host(kHost, proxyArguments(kRecordingFilter), site.environment());
  RawConnection client(host.port());
  const RawResponse head = client.exchange(getRequest("/page.html", "", "HEAD"), true);
  EXPECT_EQ(head.field("content-length"), std::to_string(readFile(site.page("page.html")).size()));
  const RawResponse missing = client.exchange(getRequest("/missing.html"));
  EXPECT_EQ(missing.status, 404u);
  EXPECT_NE(missing.body.find("nginx"), std::string::npos);
  EXPECT_EQ(client.exchange(getRequest("/page.html")).body, readFile(site.page("page.html")));
}

TEST_F(HostProxyTest, PicturesComeFromTheImagesDirectoryNotTheUpstream) {
  HostProcess host(kHost, proxyArguments(kRecordingFilter),
                   site.environment({{"TESTFILTER_DRAW_URL", "/textimages/"}}));
  EXPECT_EQ(curlOutput({host.url("/textimages/feed.gif")}), "GIF89a drawn");
  curlOutput({host.url("/index.html")});
  const auto log = nginx.accessLog(1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("GET /index.html"), std::string::npos);
}

TEST_F(HostProxyTest, AnUpstreamThatIsGoneGives502) {
  const unsigned short unused = freeLoopbackPort();
  HostProcess host(kHost, {"--upstream", "127.0.0.1:" + std::to_string(unused), "--config", site.config(),
                           "--filter", kRecordingFilter},
                   site.environment());
  RawConnection client(host.port());
  const RawResponse response = client.exchange(getRequest("/page.html"));
  EXPECT_EQ(response.status, 502u);
  EXPECT_NE(readFile(site.logPath()).find("SEND_RESPONSE 502"), std::string::npos);
}


// The host in front of a scripted upstream, with the chunking filter, which
// ends every response to an HTTP/1.1 client with a last chunk of its own.
class HostScriptedUpstreamTest : public ::testing::Test {
 protected:
  std::vector<std::string> arguments(const ScriptedUpstream& upstream, std::vector<std::string> extra = {}) const {
    std::vector<std::string> all{"--upstream", upstream.hostPort(), "--config", site.config(),
                                 "--filter", kChunkingFilter, "--threads", "2"};
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  }

  HostSite site;
};

std::string path(const ScriptedUpstream::Request& request) {
  const std::size_t start = request.head.find(' ') + 1;
  return request.head.substr(start, request.head.find(' ', start) - start);
}

TEST_F(HostScriptedUpstreamTest, AResponseTheUpstreamCutsShortReachesTheClientUnfinished) {
  const std::string half(500, 'x');
  const std::string html = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
  const std::string chunked = html + "Transfer-Encoding: chunked\r\n\r\n1f4\r\n" + half + "\r\n";
  const std::map<std::string, Reply> replies{
      {"/length", {html + "Content-Length: 1000\r\n\r\n" + half, Then::Close}},
      {"/chunks", {chunked, Then::Close}},
      {"/badchunk", {chunked + "zz\r\n" + half + "\r\n0\r\n\r\n", Then::Next}},
      {"/stall", {html + "Content-Length: 1000\r\n\r\n" + half, Then::Stall}},
      // A URL that would break the log line if it were written as it is.
      {"/cut%0aforged", {html + "Content-Length: 1000\r\n\r\n" + half, Then::Close}},
  };
  ScriptedUpstream upstream([&](const ScriptedUpstream::Request& request) { return replies.at(path(request)); });
  HostProcess host(kHost, arguments(upstream, {"--upstream-timeout", "1"}));
  for (const auto& [target, reply] : replies) {
    RawConnection client(host.port());
    client.send(getRequest(target));
    const std::string received = client.readUntilClose();
    EXPECT_NE(received.find("Transfer-Encoding: chunked"), std::string::npos) << target << "\n" << received;
    EXPECT_NE(received.find(half), std::string::npos) << target;
    EXPECT_FALSE(received.ends_with("0\r\n\r\n")) << target << " ends as if complete";
  }
  // One line each, naming the URL, a line end in it escaped.
  std::vector<std::string> lines = splitLines(host.process().errorOutput());
  std::erase_if(lines, [](const std::string& line) { return !line.starts_with("nimbuswatch-host: [error] GET /"); });
  ASSERT_EQ(lines.size(), replies.size()) << host.process().errorOutput();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.find("GET /cut\\x0aforged: ") != line.npos; }),
            1);
}

TEST_F(HostScriptedUpstreamTest, InterimResponsesGoToHttp11ClientsAndTheFinalOneFollows) {
  ScriptedUpstream upstream([](const ScriptedUpstream::Request&) {
    return Reply{"HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n"
                 "HTTP/1.1 103 Early Hints\r\nLink: </more.css>; rel=preload\r\n\r\n"
                 "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello"};
  });
  HostProcess host(kHost, arguments(upstream));
  RawConnection client(host.port());
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(client.exchange(getRequest("/hints")).field("link"), "</style.css>; rel=preload");
    EXPECT_EQ(client.read().field("link"), "</more.css>; rel=preload");
    const RawResponse final = client.read();
    EXPECT_EQ(final.status, 200u);
    EXPECT_EQ(final.body, "hello");
  }
  RawConnection old(host.port());
  const RawResponse response = old.exchange(getRequest("/hints", "", "GET", "HTTP/1.0"));
  EXPECT_EQ(response.status, 200u);
  EXPECT_EQ(response.body, "hello");
}

TEST_F(HostScriptedUpstreamTest, MethodsGoToTheUpstreamAsTheClientWroteThem) {
  ScriptedUpstream upstream([](const ScriptedUpstream::Request&) {
    return Reply{"HTTP/1.1 204 No Content\r\n\r\n"};
  });
  HostProcess host(kHost, arguments(upstream));
  RawConnection client(host.port());
  for (const char* method : {"FOO", "BREW", "PROPFIND", "M-SEARCH"}) {
    EXPECT_EQ(client.exchange(getRequest("/m", "", method)).status, 204u) << method;
  }
  RawConnection bad(host.port());
  EXPECT_EQ(bad.exchange(getRequest("/m", "", "BR(W")).status, 400u);
  const auto requests = upstream.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_TRUE(requests[0].head.starts_with("FOO /m HTTP/1.1\r\n")) << requests[0].head;
  EXPECT_TRUE(requests[3].head.starts_with("M-SEARCH /m HTTP/1.1\r\n")) << requests[3].head;
}

TEST_F(HostScriptedUpstreamTest, RequestBodiesStreamToTheUpstreamUpToTheLimit) {
  ScriptedUpstream upstream([](const ScriptedUpstream::Request& request) {
    return Reply{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(request.body.size()) + "\r\n\r\n" +
                 request.body};
  });
  HostProcess host(kHost, arguments(upstream, {"--max-body-size", "64k"}));
  const std::string body = numberedPage(2000).substr(0, 60000);
  RawConnection client(host.port());
  const RawResponse length = client.exchange(getRequest("/post", "Content-Length: 60000\r\n", "POST") + body);
  EXPECT_EQ(length.body, body);
  std::string chunks;
  for (std::size_t at = 0; at < body.size(); at += 7000) {
    const std::string piece = body.substr(at, 7000);
    chunks += (std::ostringstream() << std::hex << piece.size()).str() + "\r\n" + piece + "\r\n";
  }
  const RawResponse chunked =
      client.exchange(getRequest("/post", "Transfer-Encoding: chunked\r\n", "POST") + chunks + "0\r\n\r\n");
  EXPECT_EQ(chunked.body, body);
  // A client that waits to be asked for its body is asked.
  client.send(getRequest("/post", "Content-Length: 5\r\nExpect: 100-continue\r\n", "POST"));
  EXPECT_EQ(client.read().status, 100u);
  EXPECT_EQ(client.exchange("hello").body, "hello");

  const auto requests = upstream.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[0].head.find("Content-Length: 60000\r\n"), std::string::npos) << requests[0].head;
  EXPECT_TRUE(requests[1].chunked);
  EXPECT_EQ(requests[1].body, body);
  EXPECT_EQ(requests[2].head.find("Expect"), std::string::npos);

  // Over the limit: 413 and the connection closes, before the upstream sees
  // the request when the length says so, or cut off when the chunks do.
  const std::string big(70000, 'b');
  for (const std::string& request :
       {getRequest("/big", "Content-Length: 70000\r\n", "POST"),
        getRequest("/big", "Transfer-Encoding: chunked\r\n", "POST") + "11170\r\n" + big + "\r\n0\r\n\r\n"}) {
    RawConnection refused(host.port());
    refused.send(request);
    EXPECT_EQ(refused.read().status, 413u);
    EXPECT_TRUE(refused.closedByPeer());
  }
  for (const auto& request : upstream.requests()) {
    EXPECT_NE(path(request), "/big") << "the upstream got a body over the limit whole";
  }
}

}  // namespace
}  // namespace nimbuswatch::test
