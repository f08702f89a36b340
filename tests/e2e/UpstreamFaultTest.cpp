// nimbuswatch-host with the real filter in front of an upstream that cuts
// an HTML page short: the filter rewrites the page as it streams, but the
// client must still be able to tell that the page is not whole.
#include "EndToEnd.h"

#include "HTTPStreamParser/HttpRules.h"

#include "support/RawHttp.h"
#include "support/Servers.h"

#include <gtest/gtest.h>

namespace nimbuswatch::test {
namespace {

TEST(UpstreamFaultTest, APageTheUpstreamCutsShortReachesTheClientUnfinished) {
  const std::string page = manyElementsPage(40);
  const std::string part = page.substr(0, page.size() / 2);
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n";
  std::string chunk;
  appendChunk(chunk, part);
  // By length, closed halfway; chunked, closed before the last chunk.
  const std::vector<std::string> replies{head + "Content-Length: " + std::to_string(page.size()) + "\r\n\r\n" + part,
                                         head + "Transfer-Encoding: chunked\r\n\r\n" + chunk};
  for (const std::string& reply : replies) {
    ScriptedUpstream upstream([&reply](const ScriptedUpstream::Request&) {
      return ScriptedUpstream::Reply{reply, ScriptedUpstream::Then::Close};
    });
    FilterFiles filter;
    HostProcess host(kHost, {"--upstream", upstream.hostPort(), "--config", filter.config(), "--filter", kFilter});
    RawConnection client(host.port());
    client.send(getRequest("/directory.html"));
    const std::string received = client.readUntilClose();
    EXPECT_NE(received.find("X-Powered-By: nimbuswatch/1.0"), std::string::npos) << received.substr(0, 400);
    EXPECT_NE(received.find("Transfer-Encoding: chunked"), std::string::npos);
    EXPECT_EQ(pictureUrls(received).size(), elementTexts(part).size());
    EXPECT_FALSE(received.ends_with("\r\n0\r\n\r\n")) << "the cut page ends as if whole";
    EXPECT_NE(host.process().errorOutput().find("nimbuswatch-host: [error] GET /directory.html: "), std::string::npos)
        << host.process().errorOutput();
  }
}

}  // namespace
}  // namespace nimbuswatch::test
