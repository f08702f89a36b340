// Shared set-up of the end-to-end tests: the real host with the real filter
// library, in the example mode or with a configuration of the test's own,
// and the checks every served page and picture must pass.
#pragma once

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nimbuswatch::test {

inline const std::string kHost = NIMBUSWATCH_HOST_EXECUTABLE;
inline const std::string kFilter = NIMBUSWATCH_FILTER_LIBRARY;
inline const std::string kExampleSite = NIMBUSWATCH_SOURCE_DIR "/examples/site/";

// nimbuswatch-host with no mode: the bundled example site, its state made in
// a fresh temporary directory. The host prints where it serves from before
// the "listening on" line; both are read.
class ExampleHost {
 public:
  explicit ExampleHost(const std::vector<std::string>& extraArguments = {});
  // Stops the host; the test fails when it does not end cleanly.
  ~ExampleHost();
  ExampleHost(const ExampleHost&) = delete;
  ExampleHost& operator=(const ExampleHost&) = delete;

  unsigned short port() const { return boundPort; }
  std::string url(const std::string& path) const;
  std::string stateDir() const { return temp.file("state/"); }
  std::string imagesDir() const { return stateDir() + "images/"; }
  // The filter's log.
  std::string log() const { return readFile(stateDir() + "nimbuswatch.log"); }

 private:
  TempDir temp;
  std::unique_ptr<ChildProcess> child;
  unsigned short boundPort = 0;
};

// What the filter needs for --config in the other modes: a fonts directory
// of Debian's Liberation and DejaVu faces under lower-case names with
// "times.ttf", spool and images directories, a log, and the .reg file.
class FilterFiles {
 public:
  FilterFiles();

  std::string config() const { return temp.file("nimbuswatch.reg"); }
  std::string imagesDir() const { return temp.file("images/"); }
  std::string spoolDir() const { return temp.file("spool/"); }
  std::string log() const { return readFile(temp.file("nimbuswatch.log")); }

 private:
  TempDir temp;
};

// A copy of the example site in a temporary directory, for tests that add
// pages of their own.
class SiteCopy {
 public:
  SiteCopy();
  const std::string& path() const { return temp.path(); }
  std::string file(const std::string& name) const { return temp.file(name); }

 private:
  TempDir temp;
};

// The example site's page `name` as it is on disk.
inline std::string examplePage(const std::string& name) { return readFile(kExampleSite + name); }

// A page of `count` paragraphs, each holding a textimage element of its own.
std::string manyElementsPage(int count);

// The trimmed texts of the textimage elements in `source`.
std::vector<std::string> elementTexts(const std::string& source);
// The picture URLs of the img elements the filter wrote into `page`, in order.
std::vector<std::string> pictureUrls(const std::string& page);
// Empty when `served` is `source` with every textimage element replaced by
// an img element of a picture under /textimages/ and every other byte as it
// was; otherwise what differs.
std::string rewriteProblems(const std::string& source, const std::string& served);

struct GifInfo {
  int width = 0;
  int height = 0;
  int colours = 0;  // distinct colour indexes among the pixels
};
// The picture decoded by libgd; nothing when it is not a GIF libgd can read.
std::optional<GifInfo> decodeGif(const std::string& bytes);
// Empty when `bytes` is a GIF with text drawn on it (two colours at least).
std::string gifProblems(const std::string& bytes);


}  // namespace nimbuswatch::test
