// Shared set-up of the host's integration tests: a site directory, the
// directories of a filter configuration that passes the host's check, with
// the configuration file naming them, a log for the recording filter, and
// the paths of the programs under test.
#pragma once

#include "platform/Registry.h"
#include "support/ChildProcess.h"
#include "support/Servers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace nimbuswatch::test {

inline const std::string kHost = NIMBUSWATCH_HOST_EXECUTABLE;
inline const std::string kRecordingFilter = TEST_FILTER_RECORDING;
inline const std::string kSwapCaseFilter = TEST_FILTER_SWAPCASE;
inline const std::string kChunkingFilter = TEST_FILTER_CHUNKING;
inline const std::string kFallbackFont = "/usr/share/fonts/truetype/liberation/LiberationSerif-Regular.ttf";

// A page whose bytes differ from place to place, so a block lost, doubled
// or moved shows.
inline std::string numberedPage(std::size_t lines) {
  std::string page = "<!DOCTYPE html>\n<html><body>\n";
  for (std::size_t i = 0; i < lines; ++i) {
    page += "<p>Line " + std::to_string(i) + " of the Numbered Page.</p>\n";
  }
  return page + "</body></html>\n";
}

inline std::string swapCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

class HostSite {
 public:
  HostSite() {
    for (const char* sub : {"site/sub", "images", "spool", "fonts"}) {
      std::filesystem::create_directories(dir.file(sub));
    }
    std::filesystem::create_symlink(kFallbackFont, dir.file("fonts/times.ttf"));
    writeFile(page("index.html"), "<html><body>Index</body></html>\n");
    writeFile(page("page.html"), numberedPage(40));
    writeFile(page("big.html"), numberedPage(4000));
    writeFile(page("style.css"), "body { color: black; }\n");
    writeFile(page("sub/index.html"), "<html><body>Sub</body></html>\n");
    writeFile(page("sub/a b.html"), "<html><body>Spaced</body></html>\n");
    writeFile(config(), platform::registryExport({{"ImagesURL", "/textimages/"},
                                                   {"ImagesDir", imagesDir()},
                                                   {"SpoolDir", dir.file("spool/")},
                                                   {"FontsDir", dir.file("fonts/")}}));
  }

  std::string root() const { return dir.file("site"); }
  std::string page(const std::string& name) const { return dir.file("site/" + name); }
  std::string imagesDir() const { return dir.file("images/"); }
  std::string config() const { return dir.file("nimbuswatch.reg"); }
  std::string logPath() const { return dir.file("filter.log"); }
  std::vector<std::string> log() const { return splitLines(readFile(logPath())); }
  Environment environment(Environment extra = {}) const {
    extra.emplace_back("TESTFILTER_LOG", logPath());
    return extra;
  }
  // Host arguments for static files with `filter`, plus `extra`.
  std::vector<std::string> staticArguments(const std::string& filter, std::vector<std::string> extra = {}) const {
    std::vector<std::string> arguments{"--root", root(), "--config", config(), "--filter", filter, "--threads", "2"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
  }

 private:
  TempDir dir;
};


}  // namespace nimbuswatch::test
