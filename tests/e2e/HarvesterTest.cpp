// Every way a harvester might try to get an element's text as characters
// past the filter: ranges of pages of every form, HTTP/1.0, HEAD, pipelined
// and conditional requests, compression asked for by the client or forced
// by the upstream. The host serves the example site from files and as a
// reverse proxy in front of Debian's nginx and of a scripted upstream that
// answers ranges and compresses as it likes. Nothing that comes back,
// headers or bodies (chunks undone), may hold a piece of an element's text.
#include "EndToEnd.h"

#include "HTTPStreamParser/HttpRules.h"

#include "support/Compression.h"
#include "support/RawHttp.h"
#include "support/Servers.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace nimbuswatch::test {
namespace {

// Every run of eight bytes of an element's text that stands nowhere else in
// the page: a range cut anywhere through an address still shows one.
std::set<std::string> telltales(const std::string& page) {
  const std::string elsewhere =
      std::regex_replace(page, std::regex("<textimage[^>]*>[^<]*</textimage>", std::regex::icase), " ");
  std::set<std::string> runs;
  for (const std::string& text : elementTexts(page)) {
    for (std::size_t at = 0; at + 8 <= text.size(); ++at) {
      if (elsewhere.find(text.substr(at, 8)) == std::string::npos) {
        runs.insert(text.substr(at, 8));
      }
    }
  }
  return runs;
}

// The responses in `raw`, as far as they go, with chunked bodies undone.
struct Reply {
  unsigned status = 0;
  std::string head;
  std::string body;
};

std::vector<Reply> replies(std::string_view raw, const std::vector<bool>& headRequests) {
  std::vector<Reply> all;
  for (std::size_t i = 0; !raw.empty(); ++i) {
    Reply reply;
    const std::size_t end = raw.find("\r\n\r\n");
    reply.head = std::string(raw.substr(0, end == std::string_view::npos ? raw.size() : end + 4));
    raw.remove_prefix(reply.head.size());
    reply.status = static_cast<unsigned>(std::atoi(reply.head.c_str() + std::min<std::size_t>(9, reply.head.size())));
    std::string lower = reply.head;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const bool bodyless = !responseHasBody(i < headRequests.size() && headRequests[i], reply.status);
    const std::size_t length = lower.find("\r\ncontent-length:");
    if (bodyless) {
    } else if (lower.find("\r\ntransfer-encoding: chunked") != std::string::npos) {
      while (!raw.empty()) {
        const std::size_t size = std::strtoul(std::string(raw.substr(0, 20)).c_str(), nullptr, 16);
        const std::size_t line = raw.find("\r\n");
        if (line == std::string_view::npos) break;
        raw.remove_prefix(line + 2);
        reply.body += raw.substr(0, size);
        raw.remove_prefix(std::min(raw.size(), size + 2));
        if (size == 0) break;
      }
    } else if (length != std::string::npos) {
      const std::size_t size = std::strtoul(lower.c_str() + length + 17, nullptr, 10);
      reply.body = std::string(raw.substr(0, size));
      raw.remove_prefix(std::min(raw.size(), size));
    } else {
      reply.body = std::string(raw);
      raw = {};
    }
    all.push_back(std::move(reply));
  }
  return all;
}

// An upstream that answers any Range with a range of the page (one part, or
// several under /parts/), and under /always206/ even without one; that
// compresses under /gzip/ and /deflate/ whatever it was asked, and claims br
// or a coding of its own under /br/ and /unknown/ while sending the page as
// it is.
ScriptedUpstream::Reply scriptedAnswer(const ScriptedUpstream::Request& request, const std::string& page) {
  const std::string path = request.head.substr(4, request.head.find(' ', 4) - 4);
  const bool range = request.head.find("\r\nRange:") != std::string::npos;
  std::string fields = "Content-Type: text/html\r\nETag: \"5f1-abc\"\r\nAccept-Ranges: bytes\r\n";
  std::string status = "200 OK";
  std::string body = page;
  if (range || path.starts_with("/always206/")) {
    status = "206 Partial Content";
    if (path.starts_with("/parts/")) {
      fields = "Content-Type: multipart/byteranges; boundary=XyZ\r\n";
      body = "\r\n--XyZ\r\nContent-Type: text/html\r\nContent-Range: bytes 10-20/1913\r\n\r\n" + page.substr(10, 11) +
             "\r\n--XyZ\r\nContent-Type: text/html\r\nContent-Range: bytes 300-900/1913\r\n\r\n" + page.substr(300, 601) +
             "\r\n--XyZ--\r\n";
    } else {
      fields += "Content-Range: bytes 300-900/1913\r\n";
      body = page.substr(300, 601);
    }
  } else if (path.starts_with("/gzip/")) {
    fields += "Content-Encoding: gzip\r\n";
    body = compressed(page, 31);
  } else if (path.starts_with("/deflate/")) {
    fields += "Content-Encoding: deflate\r\n";
    body = compressed(page, 15);
  } else if (path.starts_with("/br/")) {
    fields += "Content-Encoding: br\r\n";
  } else if (path.starts_with("/unknown/")) {
    fields += "Content-Encoding: x-private\r\n";
  }
  return {"HTTP/1.1 " + status + "\r\n" + fields + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body};
}

enum Server : unsigned { Static = 1, Nginx = 2, Scripted = 4 };

// What the last response of a row must be, beyond holding no telltale.
enum class Expect { WholePage, Refused, StyleRange, StyleRanges, Anything };

struct Row {
  std::string name;
  unsigned servers;
  std::vector<std::string> requests;  // sent in one write; the last asks to close
  Expect expect;
};

std::string request(const std::string& path, const std::string& fields = "", const std::string& method = "GET",
                    const std::string& version = "HTTP/1.1") {
  return method + " " + path + " " + version + "\r\nHost: 127.0.0.1\r\n" + fields;
}

std::vector<Row> rows(const std::string& etag, const std::string& lastModified, const std::string& styleTag) {
  const unsigned files = Static | Nginx;
  const std::string page = "/index.html";
  return {
      {"plain GET", files | Scripted, {request(page)}, Expect::WholePage},
      {"HTTP/1.0", files, {request(page, "", "GET", "HTTP/1.0")}, Expect::WholePage},
      {"HEAD", files, {request(page, "", "HEAD")}, Expect::Anything},
      {"pipelined and kept alive", files, {request(page), request("/second.html"), request(page)}, Expect::WholePage},
      {"one range", files | Scripted, {request(page, "Range: bytes=19-90\r\n")}, Expect::WholePage},
      {"a suffix range", files, {request(page, "Range: bytes=-100\r\n")}, Expect::WholePage},
      {"an open range", files, {request(page, "Range: bytes=19-\r\n")}, Expect::WholePage},
      {"overlapping ranges", files, {request(page, "Range: bytes=19-400,30-90\r\n")}, Expect::WholePage},
      {"several ranges", files, {request(page, "Range: bytes=19-40,41-90,500-700\r\n")}, Expect::WholePage},
      {"a range if the tag matches", files, {request(page, "Range: bytes=19-90\r\nIf-Range: " + etag + "\r\n")},
       Expect::WholePage},
      {"ranges if unmodified", files,
       {request(page, "Range: bytes=19-40,50-90\r\nIf-Range: " + lastModified + "\r\n")}, Expect::WholePage},
      {"compression asked for", files, {request(page, "Accept-Encoding: gzip, br\r\n")}, Expect::WholePage},
      {"a conditional request, then a range", files,
       {request(page, "If-None-Match: " + etag + "\r\nIf-Modified-Since: " + lastModified + "\r\n"),
        request(page, "Range: bytes=19-90\r\n")},
       Expect::WholePage},
      {"a range of a style sheet", Nginx, {request("/style.css", "Range: bytes=5-24\r\n")}, Expect::StyleRange},
      {"ranges of a style sheet", Nginx, {request("/style.css", "Range: bytes=0-4,10-20\r\nIf-Range: " + styleTag + "\r\n")},
       Expect::StyleRanges},
      {"an upstream's ranges of a page in parts", Scripted, {request("/parts/index.html", "Range: bytes=10-20,300-900\r\n")},
       Expect::WholePage},
      {"an upstream's gzip", Scripted, {request("/gzip/index.html")}, Expect::WholePage},
      {"an upstream's deflate", Scripted, {request("/deflate/index.html", "Range: bytes=1-2\r\n")}, Expect::WholePage},
      {"an upstream's br", Scripted, {request("/br/index.html")}, Expect::Refused},
      {"an upstream's coding of its own", Scripted, {request("/unknown/index.html")}, Expect::Refused},
      {"an upstream that answers every request with a range", Scripted, {request("/always206/index.html")},
       Expect::Anything},
  };
}

class HarvesterTest : public ::testing::Test {
 protected:
  HarvesterTest() {
    source = examplePage("index.html");
    runs = telltales(source);
  }

  std::vector<std::string> hostArguments(const std::string& mode, const std::string& where) const {
    return {mode, where, "--config", filter.config(), "--filter", kFilter, "--threads", "2"};
  }

  // The problems with what `row` brings back from `host`.
  std::string problems(const Row& row, unsigned short port, const std::string& server) {
    std::string requests;
    std::vector<bool> heads;
    for (std::size_t i = 0; i < row.requests.size(); ++i) {
      const bool last = i + 1 == row.requests.size();
      requests += row.requests[i] + (last ? "Connection: close\r\n\r\n" : "\r\n");
      heads.push_back(row.requests[i].starts_with("HEAD"));
    }
    RawConnection client(port);
    client.send(requests);
    const std::string raw = client.readUntilClose();
    const std::vector<Reply> answers = replies(raw, heads);
    std::string seen = raw;
    for (const Reply& reply : answers) {
      seen += reply.head + reply.body;
    }
    const std::string where = row.name + " (" + server + ")";
    for (const std::string& run : runs) {
      if (seen.find(run) != std::string::npos) {
        return where + ": \"" + run + "\" came back in\n" + raw;
      }
    }
    if (answers.empty()) {
      return row.expect == Expect::Anything ? "" : where + ": no response";
    }
    const Reply& last = answers.back();
    const std::string style = examplePage("style.css");
    switch (row.expect) {
      case Expect::WholePage:
        if (last.status != 200 || !rewriteProblems(source, last.body).empty()) {
          return where + ": not the whole rewritten page:\n" + last.head + rewriteProblems(source, last.body);
        }
        if (last.head.find("Accept-Ranges") != std::string::npos || last.head.find("ETag: \"") != std::string::npos) {
          return where + ": the rewritten page offers ranges or a strong tag:\n" + last.head;
        }
        return "";
      case Expect::Refused:
        return last.status == 502 ? "" : where + ": not refused:\n" + last.head;
      case Expect::StyleRange:
        return last.status == 206 && last.body == style.substr(5, 20) ? "" : where + ": range broken:\n" + raw;
      case Expect::StyleRanges:
        return last.status == 206 && last.head.find("multipart/byteranges") != std::string::npos &&
                       last.body.find(style.substr(10, 11)) != std::string::npos
                   ? ""
                   : where + ": ranges broken:\n" + raw;
      case Expect::Anything:
        return "";
    }
    return "";
  }

  std::string source;
  std::set<std::string> runs;
  SiteCopy site;
  FilterFiles filter;
};

TEST_F(HarvesterTest, NoRequestGetsAnElementsTextAsCharacters) {
  ASSERT_GT(runs.size(), 50u);
  NginxServer nginx(site.path());
  ScriptedUpstream scripted([this](const ScriptedUpstream::Request& request) { return scriptedAnswer(request, source); });
  HostProcess fromFiles(kHost, hostArguments("--root", site.path()));
  HostProcess beforeNginx(kHost, hostArguments("--upstream", nginx.hostPort()));
  HostProcess beforeScripted(kHost, hostArguments("--upstream", scripted.hostPort()));

  // The tags nginx gives the page, for conditional requests.
  RawConnection direct(nginx.port());
  const RawResponse original = direct.exchange(getRequest("/index.html"));
  ASSERT_FALSE(original.field("etag").empty());
  ASSERT_FALSE(original.field("last-modified").empty());

  const struct {
    Server server;
    const char* name;
    unsigned short port;
  } hosts[] = {{Static, "files", fromFiles.port()},
               {Nginx, "in front of nginx", beforeNginx.port()},
               {Scripted, "in front of a scripted upstream", beforeScripted.port()}};
  const std::string styleTag = direct.exchange(getRequest("/style.css")).field("etag");
  for (const Row& row : rows(original.field("etag"), original.field("last-modified"), styleTag)) {
    for (const auto& host : hosts) {
      if ((row.servers & host.server) != 0) {
        EXPECT_EQ(problems(row, host.port, host.name), "");
      }
    }
  }
}

}  // namespace
}  // namespace nimbuswatch::test
