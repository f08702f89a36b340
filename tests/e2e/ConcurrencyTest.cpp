// Many browsers at once: each client on a keep-alive connection of its own
// fetches pages and then every picture on them, so the filter rewrites and
// draws on several worker threads together, the same pictures in parallel
// while none is cached yet, and keeps its per-connection state apart. Small
// blocks make every response many notifications.
#include "EndToEnd.h"

#include "support/RawHttp.h"
#include "support/Servers.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace nimbuswatch::test {
namespace {

constexpr int kClients = 16;
constexpr int kRounds = 3;

struct Page {
  std::string path;
  std::string source;
};

class Results {
 public:
  void fail(const std::string& what) {
    const std::lock_guard lock(mutex);
    failures.push_back(what);
  }
  void picture(const std::string& url, const std::string& bytes) {
    const std::lock_guard lock(mutex);
    pictures[url].insert(bytes);
  }
  void response() {
    const std::lock_guard lock(mutex);
    ++responses;
  }

  std::mutex mutex;
  std::vector<std::string> failures;
  std::map<std::string, std::set<std::string>> pictures;  // every distinct body seen per URL
  int responses = 0;
};

void fetchPictures(RawConnection& client, const std::string& page, Results& results) {
  for (const std::string& url : pictureUrls(page)) {
    const RawResponse picture = client.exchange(getRequest(url));
    const std::string problem = picture.status != 200 ? "status " + std::to_string(picture.status)
                                                      : gifProblems(picture.body);
    if (!problem.empty()) {
      results.fail(url + ": " + problem);
    }
    results.picture(url, picture.body);
    results.response();
  }
}

// One client: kRounds times every page, each followed by its pictures.
void runClient(unsigned short port, const std::vector<Page>& pages, int client, Results& results) {
  try {
    RawConnection connection(port);
    for (int round = 0; round < kRounds; ++round) {
      for (std::size_t i = 0; i < pages.size(); ++i) {
        const Page& page = pages[(i + static_cast<std::size_t>(client)) % pages.size()];
        const RawResponse response = connection.exchange(getRequest(page.path));
        if (const std::string problem = rewriteProblems(page.source, response.body); !problem.empty()) {
          results.fail(page.path + ": " + problem);
        }
        results.response();
        fetchPictures(connection, response.body, results);
      }
    }
  } catch (const std::exception& error) {
    results.fail("client " + std::to_string(client) + ": " + error.what());
  }
}

// Runs the clients against `port`; checks that every response came whole
// and that each picture URL always gave the same bytes.
void expectAllComplete(unsigned short port, const std::vector<Page>& pages) {
  Results results;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back(runClient, port, std::cref(pages), c, std::ref(results));
  }
  for (std::thread& client : clients) {
    client.join();
  }
  int perClient = 0;
  for (const Page& page : pages) {
    perClient += 1 + static_cast<int>(elementTexts(page.source).size());
  }
  EXPECT_TRUE(results.failures.empty()) << results.failures.size() << " failures, the first: " << results.failures[0];
  EXPECT_EQ(results.responses, kClients * kRounds * perClient);
  for (const auto& [url, bodies] : results.pictures) {
    EXPECT_EQ(bodies.size(), 1u) << url << " came with different bytes";
  }
}

TEST(ConcurrencyTest, ManyClientsOfTheExampleSiteGetWholePagesAndValidPictures) {
  ExampleHost host({"--threads", "4", "--block-size", "1000"});
  expectAllComplete(host.port(), {{"/index.html", examplePage("index.html")},
                                  {"/second.html", examplePage("second.html")}});
}

TEST(ConcurrencyTest, ManyClientsThroughTheProxyGetWholePagesAndValidPictures) {
  const SiteCopy site;
  const FilterFiles filter;
  NginxServer nginx(site.path(), "    location /chunked/ { alias " + site.path() + "; ssi on; }\n");
  HostProcess host(kHost, {"--upstream", nginx.hostPort(), "--config", filter.config(), "--filter", kFilter,
                           "--threads", "4", "--block-size", "512"});
  expectAllComplete(host.port(), {{"/index.html", examplePage("index.html")},
                                  {"/chunked/index.html", examplePage("index.html")},
                                  {"/chunked/second.html", examplePage("second.html")}});
}

}  // namespace
}  // namespace nimbuswatch::test
