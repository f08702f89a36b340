// The example site through the real filter library, loaded and driven by the
// server emulation as the web server drives it: every page cut into two
// blocks at every offset and also byte by byte, and every picture its
// elements ask for. What reaches the client and
// each picture's decoded pixels go into a transcript. The Linux build writes
// the reference; the Windows build (nimbuswatch.dll under Wine) must write
// the same transcript, byte for byte.
#include "Settings/TraceCapture.h"
#include "platform/Digest.h"
#include "server/LoadedFilter.h"
#include "server/ServerConnection.h"
#include "support/FontsDir.h"
#include "support/RegistryKey.h"
#include "support/StreamTesting.h"
#include "support/TestSupport.h"

#include <gd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace nimbuswatch::test {
namespace {

namespace fs = std::filesystem;

const std::string kSite = NIMBUSWATCH_SOURCE_DIR "/examples/site/";

// The faces the example pages name, under lower-case file names as the
// catalogue expects them, and the fallback font.
void addExampleFonts(FontsDir& fonts) {
  for (const char* face : {"LiberationSerif-Regular", "LiberationSerif-Bold", "LiberationSerif-Italic",
                           "LiberationSerif-BoldItalic", "LiberationSans-Regular", "LiberationSans-Bold",
                           "LiberationMono-Regular", "LiberationMono-Bold"}) {
    std::string name = std::string(face) + ".ttf";
    std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
    fonts.link(kLiberationDir + face + ".ttf", name);
  }
  for (const char* face : {"DejaVuSans", "DejaVuSans-Bold"}) {
    std::string name = std::string(face) + ".ttf";
    std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
    fonts.link(kDejaVuDir + face + ".ttf", name);
  }
  fonts.addTimes();
}

std::vector<std::string> pageNames() {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(kSite)) {
    if (entry.path().extension() == ".html") {
      names.push_back(entry.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Every pixel's colour as six hexadecimal digits, "------" where the
// picture is transparent; one line per row.
std::string pixelRows(const std::string& gif) {
  struct Destroy {
    void operator()(gdImagePtr image) const { gdImageDestroy(image); }
  };
  const std::unique_ptr<gdImage, Destroy> image(
      gdImageCreateFromGifPtr(static_cast<int>(gif.size()), const_cast<char*>(gif.data())));
  if (!image) {
    return "not a GIF\n";
  }
  gdImagePtr picture = image.get();
  std::string rows = std::to_string(gdImageSX(picture)) + "x" + std::to_string(gdImageSY(picture)) + "\n";
  for (int y = 0; y < gdImageSY(picture); ++y) {
    for (int x = 0; x < gdImageSX(picture); ++x) {
      const int colour = gdImageGetPixel(picture, x, y);
      char text[8] = "------";
      if (colour != gdImageGetTransparent(picture)) {
        std::snprintf(text, sizeof text, "%02x%02x%02x", gdImageRed(picture, colour), gdImageGreen(picture, colour),
                      gdImageBlue(picture, colour));
      }
      rows += text;
    }
    rows += "\n";
  }
  return rows;
}

#if defined(NIMBUSWATCH_REFERENCE_TRANSCRIPT)
// Where two transcripts part, with the line of each.
std::string firstDifference(const std::string& expected, const std::string& actual) {
  const std::vector<std::string> want = splitLines(expected);
  const std::vector<std::string> got = splitLines(actual);
  for (std::size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
    const std::string a = i < want.size() ? want[i] : "(end)";
    const std::string b = i < got.size() ? got[i] : "(end)";
    if (a != b) {
      return "line " + std::to_string(i + 1) + ":\n  expected " + a.substr(0, 200) + "\n  actual   " + b.substr(0, 200);
    }
  }
  return {};
}
#endif

class ExampleSiteTest : public ::testing::Test {
 protected:
  ExampleSiteTest() {
    fs::create_directory(temp.file("spool"));
    fs::create_directory(temp.file("images"));
    addExampleFonts(fonts);
    registry.write({{"LogFile", temp.file("nimbuswatch.log")},
                    {"ImagesDir", temp.file("images/")},
                    {"FontsDir", fonts.path()},
                    {"SpoolDir", temp.file("spool/")},
                    {"ImagesURL", "/textimages/"},
                    {"DefaultFontFace", "Liberation Serif"},
                    {"DefaultFontSize", "16"}});
  }

  // Every byte that reaches the client for `page`, a response with
  // `contentLength` bytes of body sent in `blocks`, on a connection of its own.
  std::string serve(const std::string& page, std::size_t contentLength, const Blocks& blocks) {
    server::ServerConnection connection(&*filter);
    connection.beginRequest({"/" + page, "", "GET", "HTTP/1.1"});
    EXPECT_TRUE(connection.sendResponse(200, {{"Content-Type", "text/html; charset=utf-8"},
                                              {"Content-Length", std::to_string(contentLength)}}));
    for (std::string_view block : blocks) {
      EXPECT_TRUE(connection.rawData(block));
    }
    EXPECT_TRUE(connection.endOfRequest());
    return connection.output();
  }

  // The picture for `url`, drawn by the filter on its URL map notification.
  std::string requestPicture(const std::string& url) {
    server::ServerConnection connection(&*filter);
    connection.beginRequest({url, "", "GET", "HTTP/1.1"});
    std::string physicalPath = temp.file("images/") + url.substr(url.rfind('/') + 1);
    EXPECT_TRUE(connection.urlMap(physicalPath));
    return readFile(physicalPath);
  }

  std::string transcript();

  TempDir temp;
  FontsDir fonts;
  ScopedRegistryKey registry;
  TraceCapture trace;
  std::optional<server::LoadedFilter> filter;
};

std::string ExampleSiteTest::transcript() {
  std::string out;
  std::vector<std::string> pictures;
  const std::regex picture(R"re(src="(/textimages/[0-9a-f]{32}\.gif)")re");
  for (const std::string& name : pageNames()) {
    const std::string page = readFile(kSite + name);
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                                 std::to_string(page.size()) + "\r\n\r\n" + page;
    const std::string whole = serve(name, page.size(), {response});
    const std::size_t headEnd = whole.find("\r\n\r\n");
    const std::optional<std::string> body =
        headEnd == std::string::npos ? std::nullopt : decodeChunked(std::string_view(whole).substr(headEnd + 4));
    EXPECT_TRUE(body.has_value()) << name << ": not a chunked response\n" << whole;
    out += "page " + name + ", in one block:\n" + whole + "\nend of page " + name + "\n";

    // The same bytes whatever the cut; the framing may differ, so each
    // cut's bytes are recorded by their digest.
    for (std::size_t cut = 1; cut < response.size(); ++cut) {
      const std::string sent = serve(name, page.size(), cutAt(response, {cut}));
      EXPECT_EQ(sent.substr(0, headEnd + 4), whole.substr(0, headEnd + 4)) << name << " cut at " << cut;
      EXPECT_EQ(decodeChunked(std::string_view(sent).substr(std::min(sent.size(), headEnd + 4))), body)
          << name << " cut at " << cut;
      out += "cut " + std::to_string(cut) + " " + platform::md5Hex(sent) + "\n";
    }
    const std::string byteByByteSent = serve(name, page.size(), byteByByte(response));
    EXPECT_EQ(decodeChunked(std::string_view(byteByByteSent).substr(std::min(byteByByteSent.size(), headEnd + 4))),
              body)
        << name << " byte by byte";
    out += "byte by byte " + platform::md5Hex(byteByByteSent) + "\n";

    for (auto it = std::sregex_iterator(whole.begin(), whole.end(), picture); it != std::sregex_iterator(); ++it) {
      if (std::find(pictures.begin(), pictures.end(), (*it)[1].str()) == pictures.end()) {
        pictures.push_back((*it)[1].str());
      }
    }
  }
  EXPECT_GE(pictures.size(), 10u);
  for (const std::string& url : pictures) {
    out += "picture " + url + " " + pixelRows(requestPicture(url));
  }
  return out;
}

TEST_F(ExampleSiteTest, PagesAndPicturesAreTheSameOnEveryPlatform) {
#if defined(_WIN32)
  const char* suffix = ".dll";
#else
  const char* suffix = ".so";
#endif
  const std::string copy = temp.file(std::string("filter") + suffix);
  fs::copy_file(NIMBUSWATCH_FILTER_LIBRARY, copy);
  std::string error;
  filter = server::loadFilter(copy, error);
  ASSERT_TRUE(filter.has_value()) << error;

  const std::string written = transcript();
  writeFile(NIMBUSWATCH_TRANSCRIPT, written);
#if defined(NIMBUSWATCH_REFERENCE_TRANSCRIPT)
  // The Linux build's transcript, which its own run of this test wrote.
  ASSERT_TRUE(exists(NIMBUSWATCH_REFERENCE_TRANSCRIPT))
      << "no transcript of the Linux build at " NIMBUSWATCH_REFERENCE_TRANSCRIPT
         ": run the Linux build's example_site_test first (scripts/test does)";
  const std::string reference = readFile(NIMBUSWATCH_REFERENCE_TRANSCRIPT);
  EXPECT_TRUE(reference == written) << "the transcript " NIMBUSWATCH_TRANSCRIPT " differs from the Linux build's at "
                                    << firstDifference(reference, written);
#endif
}

}  // namespace
}  // namespace nimbuswatch::test
