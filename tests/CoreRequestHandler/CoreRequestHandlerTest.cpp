// Image requests from the URL to the file: which URLs are handled, the
// cache, the tails that are refused, and how a GIF reaches its name.
#include "CoreRequestHandler/ImageRequestFixture.h"

#include <thread>

namespace nimbuswatch::test {
namespace {

const Attributes kElement = {{"font", "\"Liberation Serif\""}, {"size", "16"}, {"color", "'navy'"}};

class CoreRequestHandlerTest : public ImageRequestTest {
 protected:
  CoreRequestHandlerTest() { startWithSerif(); }

  std::vector<std::string> imageFiles() const { return listDirectory(images.path()); }
  int renderings() const {
    int count = 0;
    for (const std::string& line : log()) count += line.starts_with("notice: first rendering ") ? 1 : 0;
    return count;
  }
};

TEST_F(CoreRequestHandlerTest, DrawsAMissingGifOnceAndServesItFromTheCacheAfterwards) {
  const std::string identifier = store("mail@example.org", kElement);
  const std::string url = kPrefix + identifier + ".gif";
  handleImageRequest(url.c_str(), processValues().imageSettings());

  EXPECT_EQ(imageFiles(), std::vector<std::string>{identifier + ".gif"});
  const std::string gif = readFile(gifPath(identifier));
  const Picture picture(gif);
  ASSERT_TRUE(picture);
  EXPECT_EQ(gdImageBlue(picture.get(), 1), 128);
  EXPECT_TRUE(logged("notice: file name:" + gifPath(identifier)));

  handleImageRequest(url.c_str(), processValues().imageSettings());
  EXPECT_TRUE(logged("info: cache hit: " + identifier + ".gif"));
  EXPECT_EQ(renderings(), 1);
  EXPECT_EQ(readFile(gifPath(identifier)), gif);

  // A file of no bytes counts as present too.
  const std::string other = store("other", kElement);
  writeFile(gifPath(other), "");
  handleImageRequest((kPrefix + other + ".gif").c_str(), processValues().imageSettings());
  EXPECT_TRUE(logged("info: cache hit: " + other + ".gif"));
  EXPECT_EQ(renderings(), 1);
}

TEST_F(CoreRequestHandlerTest, OnlyURLsUnderThePrefixAreHandled) {
  const std::string identifier = store("mail@example.org", kElement);
  for (const std::string& url : {"/other/" + identifier + ".gif", std::string("/textimages"),
                                "/TextImages/" + identifier + ".gif", std::string()}) {
    handleImageRequest(url.c_str(), processValues().imageSettings());
  }
  handleImageRequest(nullptr, processValues().imageSettings());
  EXPECT_TRUE(log().empty());
  EXPECT_TRUE(imageFiles().empty());
}

TEST_F(CoreRequestHandlerTest, WithoutADescriptionNothingIsWritten) {
  const std::string unknown(32, 'a');
  handleImageRequest((kPrefix + unknown + ".gif").c_str(), processValues().imageSettings());
  EXPECT_TRUE(logged("notice: file name:" + gifPath(unknown)));
  EXPECT_TRUE(logged("error: couldn't create tag for id=[" + unknown + "]"));

  const std::string malformed(32, 'f');
  writeFile(fixture.spoolDir() + malformed, "name and no tab\n");
  handleImageRequest((kPrefix + malformed + ".gif").c_str(), processValues().imageSettings());
  EXPECT_TRUE(logged("error: couldn't create tag for id=[" + malformed + "]"));
  EXPECT_TRUE(imageFiles().empty());
}

// Only names of the form the filter writes, 32 lower-case hexadecimal digits
// and ".gif", are drawn. Any other tail is left to the server and writes
// nothing, even when it begins with an identifier that exists: so nobody can
// fill the disk with copies under other names or types, and no tail reaches
// a file outside the images directory or a spool file outside the spool.
TEST_F(CoreRequestHandlerTest, OnlyNamesTheFilterWritesAreDrawn) {
  const std::string identifier = store("mail@example.org", kElement);
  std::string upper = identifier;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::vector<std::pair<std::string, std::string>> tails = {
      {"", ""},
      {identifier, identifier},
      {identifier + ".0", identifier + ".0"},
      {identifier + ".html", identifier + ".html"},
      {identifier + ".svg", identifier + ".svg"},
      {identifier + ".gif.1", identifier + ".gif.1"},
      {identifier + ".x.gif", identifier + ".x.gif"},
      {identifier + ".GIF", identifier + ".GIF"},
      {upper + ".gif", upper + ".gif"},
      {identifier.substr(1) + ".gif", identifier.substr(1) + ".gif"},
      {identifier + "0.gif", identifier + "0.gif"},
      {"../" + identifier + ".gif", "../" + identifier + ".gif"},
      {"..\\" + identifier + ".gif", "..\\" + identifier + ".gif"},
      {"sub/" + identifier + ".gif", "sub/" + identifier + ".gif"},
      {"c:" + identifier + ".gif", "c:" + identifier + ".gif"},
      {identifier + "\n.gif", identifier + "\\x0a.gif"},
      {identifier + "\x1f.gif", identifier + "\\x1f.gif"}};
  for (const auto& [tail, shown] : tails) {
    handleImageRequest((kPrefix + tail).c_str(), processValues().imageSettings());
    EXPECT_TRUE(logged("warning: refusing image name [" + shown + "]")) << shown;
  }
  EXPECT_EQ(log().size(), tails.size());
  EXPECT_TRUE(imageFiles().empty());
  EXPECT_FALSE(exists(images.path() + "../" + identifier + ".gif"));
}

TEST_F(CoreRequestHandlerTest, AnUnwritableImagesDirectoryLeavesNoFile) {
  const std::string identifier = store("mail@example.org", kElement);
  processValues().imagesDir = images.path() + "missing/";
  handleImageRequest((kPrefix + identifier + ".gif").c_str(), processValues().imageSettings());
  EXPECT_TRUE(logged("error: GD couldn't write file " + images.path() + "missing/" + identifier + ".gif"));
  EXPECT_TRUE(imageFiles().empty());
}

// Threads drawing the same missing GIF each rename a whole file into place:
// whoever wins, the file is complete and no temporary file stays behind.
TEST_F(CoreRequestHandlerTest, ConcurrentRequestsLeaveOneWholeGif) {
  std::vector<std::string> urls;
  for (int i = 0; i < 4; ++i) urls.push_back(kPrefix + store("element " + std::to_string(i), kElement) + ".gif");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&urls] {
      for (int round = 0; round < 3; ++round) {
        for (const std::string& url : urls) handleImageRequest(url.c_str(), processValues().imageSettings());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::vector<std::string> files = imageFiles();
  ASSERT_EQ(files.size(), urls.size());
  for (const std::string& file : files) {
    EXPECT_TRUE(file.ends_with(".gif")) << file;
    EXPECT_TRUE(Picture(readFile(images.file(file)))) << file;
  }
}

}  // namespace
}  // namespace nimbuswatch::test
