// Debian's Chromium, headless, opens the example page through the host:
// the DOM it builds holds pictures where the page had textimage elements,
// and every picture loads.
#include "EndToEnd.h"

#include "support/Servers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace nimbuswatch::test {
namespace {

const std::string kChromium = "/usr/bin/chromium";
// Chromium's own bound; the browser usually finishes in a few seconds.
constexpr int kBrowserSeconds = 90;

// Appended to a copy of the example page: once everything has loaded, the
// root element says how many of the pictures the browser could decode.
constexpr const char* kProbeScript = R"(<script>
window.addEventListener("load", function () {
  var images = Array.prototype.slice.call(document.images);
  var loaded = images.filter(function (image) { return image.complete && image.naturalWidth > 0; });
  document.documentElement.setAttribute("data-loaded", loaded.length + " of " + images.length);
});
</script>
)";

struct BrowserRun {
  int exitCode = -1;
  std::string dom;
  std::string errors;
};

// Runs headless Chromium with a fresh profile and home on `url`, dumping
// the DOM. timeout(1) bounds it and, should it overrun, ends its whole
// process group; the DOM goes to a file, so no helper process of the
// browser can hold the test's pipe open.
BrowserRun dumpDom(const std::string& url, const std::vector<std::string>& flags = {}) {
  const TempDir profile;
  std::vector<std::string> arguments{
      "-c", "out=$1; shift; exec timeout -k 5 " + std::to_string(kBrowserSeconds) + " \"$@\" >\"$out\"", "bash",
      profile.file("dom.html"), kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
      "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
      "--user-data-dir=" + profile.file("profile")};
  arguments.insert(arguments.end(), flags.begin(), flags.end());
  arguments.insert(arguments.end(), {"--dump-dom", url});
  const ProgramResult result = runProgram("bash", arguments, {{"HOME", profile.path()}});
  return {result.exitCode, readFile(profile.file("dom.html")), result.errors};
}

class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kChromium)) {
      GTEST_SKIP() << kChromium << " is not installed (Debian's chromium package)";
    }
  }
};

TEST_F(BrowserTest, NoTextimageTextReachesTheDom) {
  ExampleHost host;
  const BrowserRun run = dumpDom(host.url("/index.html"));
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  ASSERT_NE(run.dom.find("<h1>Contact us</h1>"), std::string::npos) << run.dom;
  EXPECT_EQ(run.dom.find("<textimage"), std::string::npos) << run.dom;
  const std::string source = examplePage("index.html");
  for (const std::string& text : elementTexts(source)) {
    EXPECT_EQ(run.dom.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(pictureUrls(run.dom).size(), elementTexts(source).size()) << run.dom;
  // Text that only looks like the element is the page's own and stays.
  EXPECT_NE(run.dom.find("<code>&lt;textimage&gt;</code>"), std::string::npos) << run.dom;
}

TEST_F(BrowserTest, EveryPictureOnTheExamplePageLoads) {
  const SiteCopy site;
  writeFile(site.file("probe.html"), examplePage("index.html") + kProbeScript);
  const FilterFiles filter;
  HostProcess host(kHost, {"--root", site.path(), "--config", filter.config(), "--filter", kFilter});
  const BrowserRun run = dumpDom(host.url("/probe.html"), {"--virtual-time-budget=5000"});
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  const std::size_t pictures = elementTexts(examplePage("index.html")).size();
  std::smatch loaded;
  ASSERT_TRUE(std::regex_search(run.dom, loaded, std::regex("data-loaded=\"([0-9]+) of ([0-9]+)\""))) << run.dom;
  EXPECT_EQ(loaded[2].str(), std::to_string(pictures));
  EXPECT_EQ(loaded[1].str(), loaded[2].str()) << "pictures that did not load:\n" << filter.log();
  EXPECT_EQ(listDirectory(filter.imagesDir()).size(), pictures);
}

}  // namespace
}  // namespace nimbuswatch::test
