// Many browsers at once: each client on a keep-alive connection of its own
// fetches pages and then every picture on them, so the filter rewrites and
// draws on several worker threads together, the same pictures in parallel
// while none is cached yet, and keeps its per-connection state apart. Small
// blocks make every response many notifications. And two hosts on one
// state directory, as several servers share a spool and pictures.
#include "EndToEnd.h"

#include "platform/Digest.h"
#include "support/RawHttp.h"
#include "support/Servers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
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

// One client: kRounds times every page, each followed by its pictures. The
// pictures come from `picturePort`, on a connection of their own when that
// is another host.
void runClient(unsigned short pagePort, unsigned short picturePort, const std::vector<Page>& pages, int client,
               Results& results) {
  try {
    RawConnection connection(pagePort);
    std::optional<RawConnection> other;
    if (picturePort != pagePort) {
      other.emplace(picturePort);
    }
    RawConnection& pictures = other ? *other : connection;
    for (int round = 0; round < kRounds; ++round) {
      for (std::size_t i = 0; i < pages.size(); ++i) {
        const Page& page = pages[(i + static_cast<std::size_t>(client)) % pages.size()];
        const RawResponse response = connection.exchange(getRequest(page.path));
        if (const std::string problem = rewriteProblems(page.source, response.body); !problem.empty()) {
          results.fail(page.path + ": " + problem);
        }
        results.response();
        fetchPictures(pictures, response.body, results);
      }
    }
  } catch (const std::exception& error) {
    results.fail("client " + std::to_string(client) + ": " + error.what());
  }
}

// Runs the clients against `port`, or with two ports, half of them taking
// pages from the first and pictures from the second and the other half the
// other way round; checks that every response came whole and that each
// picture URL always gave the same bytes.
void expectAllComplete(unsigned short port, const std::vector<Page>& pages, unsigned short secondPort = 0) {
  Results results;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    const bool swapped = secondPort != 0 && c % 2 == 1;
    const unsigned short pagePort = swapped ? secondPort : port;
    const unsigned short picturePort = secondPort == 0 ? port : swapped ? port : secondPort;
    clients.emplace_back(runClient, pagePort, picturePort, std::cref(pages), c, std::ref(results));
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

// Every file of a shared spool directory is whole: named by the MD5 of its
// content, nothing half-written or left behind by a writer. The names, or
// the problems.
std::set<std::string> spoolIdentifiers(const std::string& dir, std::vector<std::string>& problems) {
  std::set<std::string> names;
  for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (platform::md5Hex(readFile(entry.path().string())) != name) {
      problems.push_back("spool file " + name + " is not named by the digest of its content");
    }
    names.insert(name);
  }
  return names;
}

// Every picture in a shared images directory is a whole GIF named by its
// element's identifier; the identifiers, or the problems.
std::set<std::string> pictureIdentifiers(const std::string& dir, std::vector<std::string>& problems) {
  std::set<std::string> names;
  for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(".gif") || name.size() != 36) {
      problems.push_back("stray file in the images directory: " + name);
      continue;
    }
    if (const std::string problem = gifProblems(readFile(entry.path().string())); !problem.empty()) {
      problems.push_back(name + ": " + problem);
    }
    names.insert(name.substr(0, 32));
  }
  return names;
}

// Several hosts share one spool and one images directory: two hosts on one
// state directory, each client taking pages from one and pictures from the
// other, so both processes write the same new descriptions and draw the same
// new pictures at the same time. Afterwards there is one whole spool file
// and one whole picture per element, and nothing else.
TEST(ConcurrencyTest, TwoHostsShareOneSpoolAndOneImagesDirectory) {
  constexpr int kElements = 24;
  const SiteCopy site;
  writeFile(site.file("directory.html"), manyElementsPage(kElements));
  const FilterFiles filter;
  const std::vector<std::string> arguments{"--root", site.path(), "--config", filter.config(), "--filter", kFilter,
                                           "--threads", "2"};
  HostProcess first(kHost, arguments);
  HostProcess second(kHost, arguments);
  expectAllComplete(first.port(), {{"/directory.html", manyElementsPage(kElements)},
                                   {"/index.html", examplePage("index.html")}},
                    second.port());
  std::vector<std::string> problems;
  const std::set<std::string> spool = spoolIdentifiers(filter.spoolDir(), problems);
  const std::set<std::string> pictures = pictureIdentifiers(filter.imagesDir(), problems);
  EXPECT_TRUE(problems.empty()) << problems.size() << " problems, the first: " << problems.front();
  const std::size_t elements = kElements + elementTexts(examplePage("index.html")).size();
  EXPECT_GE(spool.size(), kElements);
  EXPECT_LE(spool.size(), elements);
  EXPECT_EQ(pictures, spool);
}

}  // namespace
}  // namespace nimbuswatch::test
