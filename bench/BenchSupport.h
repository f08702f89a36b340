// Set-up shared by the benchmarks: a temporary spool directory installed as
// the process-wide spool, and pages of ordinary HTML.
#pragma once

#include "SpoolStorage/SpoolStorage.h"
#include "core/Process.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace nimbuswatch::bench {

class SpoolDirectory {
 public:
  SpoolDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nimbuswatch-bench-XXXXXX").string();
    path = ::mkdtemp(pattern.data()) != nullptr ? pattern + "/" : std::string("./");
    spool = std::make_unique<SpoolStorage>(path);
    processValues().spool = spool.get();
    processValues().imagesURL = "/textimages/";
  }
  ~SpoolDirectory() {
    processValues().spool = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
  std::unique_ptr<SpoolStorage> spool;
};

// About `size` bytes of ordinary HTML: paragraphs, links, attributes, text.
inline std::string ordinaryPage(std::size_t size) {
  const std::string para =
      "<div class=\"entry\"><h2 id=\"t\">A heading for this entry</h2>\n"
      "<p>Some text with <a href=\"/path/to/page.html\" title=\"a link\">a link</a>, "
      "<em>emphasis</em> and <span style=\"color:#333\">a span</span> in it.</p>\n"
      "<ul><li>one</li><li>two</li><li>three</li></ul><img src=\"/i/p.png\" alt=\"\"></div>\n";
  std::string page = "<!DOCTYPE html>\n<html><head><title>Page</title></head><body>\n";
  while (page.size() + para.size() < size) page += para;
  page.append(size - page.size(), ' ');
  return page;
}

// A page of about `size` bytes holding `elements` textimage elements of one
// address among ordinary HTML.
inline std::string pageWithElements(std::size_t size, int elements) {
  const std::string element = "<textimage font=\"liberation serif\" size=16 color=navy>mail@example.org</textimage>";
  const std::string filler = ordinaryPage(size / static_cast<std::size_t>(elements) - element.size());
  std::string page;
  for (int i = 0; i < elements; ++i) {
    page += filler;
    page += element;
  }
  return page;
}

}  // namespace nimbuswatch::bench
