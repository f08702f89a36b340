// nimbuswatch-rewrite [FILE.html [SPOOL_DIR]]
//
// Runs one HTML file through the filter's HTML rewriting, in 4 KiB blocks as
// a server would deliver it, and prints the rewritten page on standard
// output. Element descriptions go to SPOOL_DIR (default: state/spool/ in the
// current directory); their identifiers are listed on standard error.
#include "HTMLStreamParser/HTMLStreamParser.h"
#include "Logger/Logger.h"
#include "SpoolStorage/SpoolStorage.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <string>

namespace {

struct StdoutSink {
  std::string page;
  void write(const char* data, std::int32_t length) { page.append(data, static_cast<std::size_t>(length)); }
};

}  // namespace

int main(int argc, char** argv) {
  using namespace nimbuswatch;
  const std::string file = argc > 1 ? argv[1] : NIMBUSWATCH_EXAMPLES_DIR "/site/index.html";
  std::string spoolDir = argc > 2 ? argv[2] : "state/spool/";
  if (!spoolDir.empty() && spoolDir.back() != '/') spoolDir += '/';

  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::cerr << "nimbuswatch-rewrite: cannot read " << file << "\n";
    return 2;
  }
  const std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::error_code ignored;
  std::filesystem::create_directories(spoolDir, ignored);

  SpoolStorage spool(spoolDir);
  StdoutSink sink;
  HTMLStreamParser parser(Writer::to<&StdoutSink::write>(sink), ElementStore{&spool, "/textimages/"});
  constexpr std::size_t kBlock = 4096;
  for (std::size_t at = 0; at < html.size(); at += kBlock) {
    parser.feed(html.data() + at, static_cast<std::int32_t>(std::min(kBlock, html.size() - at)));
  }
  parser.flush();
  std::fwrite(sink.page.data(), 1, sink.page.size(), stdout);

  const std::regex source("src=\"/textimages/([0-9a-f]{32})\\.gif\"");
  std::cerr << "spool: " << spoolDir << "\n";
  for (std::sregex_iterator it(sink.page.begin(), sink.page.end(), source), end; it != end; ++it) {
    std::cerr << "  " << (*it)[1] << "\n";
  }
  return 0;
}
