// Many clients at once, each on a keep-alive connection of its own: every
// response must arrive whole, with the filter keeping per-connection state
// on several worker threads.
#include "HostTesting.h"

#include "support/RawHttp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace nimbuswatch::test {
namespace {

constexpr int kClients = 32;
constexpr int kRequestsEach = 12;

struct Expected {
  std::string path;
  std::string body;
};

// Runs kClients threads, each sending kRequestsEach requests over one
// connection; the number of responses that came back whole and correct.
int runClients(unsigned short port, const std::vector<Expected>& pages, bool chunked) {
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      try {
        RawConnection client(port);
        for (int r = 0; r < kRequestsEach; ++r) {
          const Expected& page = pages[static_cast<std::size_t>(c + r) % pages.size()];
          const RawResponse response = client.exchange(getRequest(page.path));
          if (response.status == 200 && response.chunked == chunked && response.body == page.body) {
            ++good;
          }
        }
      } catch (const std::exception&) {
        // Counted as missing responses.
      }
    });
  }
  for (std::thread& client : clients) {
    client.join();
  }
  return good;
}

TEST(HostConcurrencyTest, ManyClientsGetCompleteResponsesFromStaticFiles) {
  HostSite site;
  writeFile(site.imagesDir() + "picture.gif", "GIF89a" + std::string(3000, '\x01'));
  HostProcess host(kHost, site.staticArguments(kChunkingFilter, {"--threads", "4", "--block-size", "1000"}));
  const std::vector<Expected> pages{{"/page.html", readFile(site.page("page.html"))},
                                    {"/big.html", readFile(site.page("big.html"))},
                                    {"/textimages/picture.gif", readFile(site.imagesDir() + "picture.gif")},
                                    {"/index.html", readFile(site.page("index.html"))}};
  EXPECT_EQ(runClients(host.port(), pages, true), kClients * kRequestsEach);
}

TEST(HostConcurrencyTest, ManyClientsGetCompleteResponsesThroughTheProxy) {
  HostSite site;
  NginxServer nginx(site.root());
  HostProcess host(kHost, {"--upstream", nginx.hostPort(), "--filter", kSwapCaseFilter, "--threads", "4"});
  const std::vector<Expected> pages{{"/page.html", swapCase(readFile(site.page("page.html")))},
                                    {"/big.html", swapCase(readFile(site.page("big.html")))}};
  EXPECT_EQ(runClients(host.port(), pages, false), kClients * kRequestsEach);
}

}  // namespace
}  // namespace nimbuswatch::test
