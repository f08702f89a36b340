#include "EndToEnd.h"

#include "platform/Registry.h"

#include <gd.h>
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <stdexcept>

namespace nimbuswatch::test {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// An ASan build starts slowly; the bound only keeps a broken host from
// hanging the suite.
constexpr auto kStartTimeout = std::chrono::seconds(30);

const std::regex kElement("<textimage\\b[^>]*>([\\s\\S]*?)</textimage\\s*>", std::regex::icase);
const std::regex kPicture("<img [^>]*src=\"(/textimages/[0-9a-f]{32}\\.gif)\"[^>]*>");
// Stands for an element in the source and for its img element in the page.
constexpr const char* kMark = "\x01";

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  return first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Every .ttf of `directory` linked into `fonts` under its lower-case name.
void linkFonts(const std::string& directory, const fs::path& fonts) {
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
    if (entry.path().extension() == ".ttf") {
      fs::create_symlink(entry.path(), fonts / lowerCase(entry.path().filename().string()));
    }
  }
}

// Where the two texts first differ, with a little of each.
std::string firstDifference(const std::string& expected, const std::string& actual) {
  std::size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) {
    ++at;
  }
  const std::size_t from = at < 40 ? 0 : at - 40;
  return "differs at byte " + std::to_string(at) + ": expected [" + expected.substr(from, 80) + "] got [" +
         actual.substr(from, 80) + "]";
}

}  // namespace

ExampleHost::ExampleHost(const std::vector<std::string>& extraArguments) {
  std::vector<std::string> arguments{"--state", temp.file("state"), "--listen", "127.0.0.1:0"};
  arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
  child = std::make_unique<ChildProcess>(kHost, arguments);
  const std::string marker = "listening on http://127.0.0.1:";
  const auto deadline = Clock::now() + kStartTimeout;
  while (boundPort == 0 && Clock::now() < deadline) {
    const auto line = child->readLine(kStartTimeout);
    if (!line) {
      break;
    }
    if (const std::size_t at = line->find(marker); at != std::string::npos) {
      boundPort = static_cast<unsigned short>(std::stoul(line->substr(at + marker.size())));
    }
  }
  if (boundPort == 0) {
    throw std::runtime_error("the host did not start: " + child->errorOutput());
  }
}

ExampleHost::~ExampleHost() {
  const int code = child->stop();
  const std::string errors = child->errorOutput();
  EXPECT_EQ(code, 0) << errors;
  EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
}

std::string ExampleHost::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(boundPort) + path;
}

FilterFiles::FilterFiles() {
  for (const char* sub : {"fonts", "spool", "images"}) {
    fs::create_directories(temp.file(sub));
  }
  linkFonts("/usr/share/fonts/truetype/liberation", temp.file("fonts"));
  linkFonts("/usr/share/fonts/truetype/dejavu", temp.file("fonts"));
  fs::create_symlink("/usr/share/fonts/truetype/liberation/LiberationSerif-Regular.ttf", temp.file("fonts/times.ttf"));
  writeFile(config(), platform::registryExport({{"LogFile", temp.file("nimbuswatch.log")},
                                                 {"ImagesDir", imagesDir()},
                                                 {"FontsDir", temp.file("fonts/")},
                                                 {"SpoolDir", temp.file("spool/")},
                                                 {"ImagesURL", "/textimages/"},
                                                 {"DefaultFontFace", "Liberation Serif"},
                                                 {"DefaultFontSize", "16"}}));
}

SiteCopy::SiteCopy() {
  for (const fs::directory_entry& entry : fs::directory_iterator(kExampleSite)) {
    fs::copy(entry.path(), temp.file(entry.path().filename().string()), fs::copy_options::recursive);
  }
}

std::string manyElementsPage(int count) {
  std::string page = "<!DOCTYPE html>\n<html><head><title>Directory</title></head><body>\n";
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    page += "<p>Entry " + n + ": <textimage font=\"Liberation Sans\" size=12 color=navy>user" + n +
            "@example.org</textimage>, room " + n + ".</p>\n";
  }
  return page + "</body></html>\n";
}

std::vector<std::string> elementTexts(const std::string& source) {
  std::vector<std::string> texts;
  for (auto it = std::sregex_iterator(source.begin(), source.end(), kElement); it != std::sregex_iterator(); ++it) {
    texts.push_back(trim((*it)[1].str()));
  }
  return texts;
}

std::vector<std::string> pictureUrls(const std::string& page) {
  std::vector<std::string> urls;
  for (auto it = std::sregex_iterator(page.begin(), page.end(), kPicture); it != std::sregex_iterator(); ++it) {
    urls.push_back((*it)[1].str());
  }
  return urls;
}

std::string rewriteProblems(const std::string& source, const std::string& served) {
  if (lowerCase(served).find("<textimage") != std::string::npos) {
    return "a textimage element is left in the page";
  }
  for (const std::string& text : elementTexts(source)) {
    if (!text.empty() && served.find(text) != std::string::npos) {
      return "the element text \"" + text + "\" reached the page";
    }
  }
  const std::size_t elements = elementTexts(source).size();
  if (const std::size_t pictures = pictureUrls(served).size(); pictures != elements) {
    return std::to_string(elements) + " elements but " + std::to_string(pictures) + " pictures";
  }
  const std::string expected = std::regex_replace(source, kElement, kMark);
  const std::string actual = std::regex_replace(served, kPicture, kMark);
  return expected == actual ? std::string() : "the markup around the elements changed: " + firstDifference(expected, actual);
}

std::optional<GifInfo> decodeGif(const std::string& bytes) {
  if (bytes.size() < 6 || bytes.compare(0, 4, "GIF8") != 0) {
    return std::nullopt;
  }
  gdImagePtr image = gdImageCreateFromGifPtr(static_cast<int>(bytes.size()), const_cast<char*>(bytes.data()));
  if (image == nullptr) {
    return std::nullopt;
  }
  GifInfo info{gdImageSX(image), gdImageSY(image), 0};
  std::set<int> colours;
  for (int y = 0; y < info.height; ++y) {
    for (int x = 0; x < info.width; ++x) {
      colours.insert(gdImageGetPixel(image, x, y));
    }
  }
  info.colours = static_cast<int>(colours.size());
  gdImageDestroy(image);
  return info;
}

std::string gifProblems(const std::string& bytes) {
  const std::optional<GifInfo> gif = decodeGif(bytes);
  if (!gif) {
    return "not a readable GIF (" + std::to_string(bytes.size()) + " bytes)";
  }
  if (gif->width <= 0 || gif->height <= 0 || gif->colours < 2) {
    return "an empty picture: " + std::to_string(gif->width) + "x" + std::to_string(gif->height) + " with " +
           std::to_string(gif->colours) + " colours";
  }
  return {};
}

}  // namespace nimbuswatch::test
