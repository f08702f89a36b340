#include "CoreRequestHandler/CoreRequestHandler.h"

#include "Logger/Logger.h"
#include "SpoolStorage/SpoolStorage.h"
#include "platform/Ascii.h"
#include "platform/Files.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace nimbuswatch {

namespace {

constexpr const char* kModule = ".\\src\\CoreRequestHandler";

// The length of a spool identifier: an MD5 digest in hexadecimal.
constexpr std::size_t kIdentifierLength = 32;
constexpr std::string_view kImageSuffix = ".gif";

bool isLowerHexDigit(char byte) { return ascii::isDigit(byte) || (byte >= 'a' && byte <= 'f'); }

// Only a tail of the form the filter itself writes into pages, the
// identifier and ".gif", is drawn. It names one file in the images directory
// and one in the spool; any other tail would let a client create files of
// its choosing, so it is left to the server.
bool isImageName(std::string_view tail) {
  return tail.size() == kIdentifierLength + kImageSuffix.size() && tail.ends_with(kImageSuffix) &&
         std::all_of(tail.begin(), tail.begin() + kIdentifierLength, isLowerHexDigit);
}

std::string loadDescription(SpoolStorage* spool, const std::string& identifier) {
  return spool != nullptr ? spool->load(identifier) : std::string();
}

// Whether the GIF is there already. Its lines leave in one write: a cache
// hit is the answer a busy server gives most.
bool isCached(const std::string& path, const std::string& tail) {
  const LineGroup lines;
  logMessage(kNotice, "file name:%s", path.c_str());
  if (fileExists(path)) {
    logMessage(kInfo, "cache hit: %s", tail.c_str());
    return true;
  }
  logMessage(kDebug, "not cache hit");
  return false;
}

}  // namespace

CoreRequestHandler::CoreRequestHandler(std::string url, const ImageSettings& where)
    : url(std::move(url)), where(where) {}

CoreRequestHandler::CoreRequestHandler(std::string url, const ImageSettings& where,
                                       std::unique_ptr<ElementRecord> record)
    : url(std::move(url)), where(where), record(std::move(record)) {}

void CoreRequestHandler::answer() {
  if (!url.starts_with(where.imagesURL)) {
    return;
  }
  const std::string tail = url.substr(where.imagesURL.size());
  if (!isImageName(tail)) {
    logAt(kWarning, {kModule, __LINE__}, "refusing image name [%s]", tail.c_str());
    return;
  }
  const std::string path = std::string(where.imagesDir) + tail;
  if (isCached(path, tail)) {
    return;
  }

  const std::string identifier = tail.substr(0, kIdentifierLength);
  record = parseElementDescription(loadDescription(where.spool, identifier));
  if (record == nullptr) {
    logAt(kError, {kModule, __LINE__}, "couldn't create tag for id=[%s]", identifier.c_str());
    return;
  }
  const GifBytes gif = renderGif();
  if (gif) {
    writeGif(path, gif);
  }
}

// The GIF goes to a name of this thread's own and is then renamed over the
// final name, so the server never sends a partly written file. Two requests
// drawing the same GIF at once both rename identical bytes into place.
void CoreRequestHandler::writeGif(const std::string& path, const GifBytes& gif) const {
  if (!platform::writeFileWhole(path, std::string_view(static_cast<const char*>(gif.data()), gif.size()))) {
    logMessage(kError, "GD couldn't write file %s", path.c_str());
  }
}

void handleImageRequest(const char* url, const ImageSettings& where) {
  CoreRequestHandler handler(url != nullptr ? url : "", where);
  handler.answer();
}

bool fileExists(const std::string& path) { return platform::fileOpensForReading(path); }

}  // namespace nimbuswatch
