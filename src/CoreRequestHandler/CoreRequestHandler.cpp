#include "CoreRequestHandler/CoreRequestHandler.h"

#include "Logger/Logger.h"
#include "SpoolStorage/SpoolStorage.h"
#include "core/Process.h"
#include "platform/Files.h"

#include <cstdio>

namespace nimbuswatch {

namespace {

constexpr const char* kModule = ".\\src\\CoreRequestHandler";

// The tail of an image URL becomes a file name in the images directory and
// its first part a spool file name: it must not name anything elsewhere.
bool isSafeTail(const std::string& tail) {
  for (const char byte : tail) {
    if (byte == '/' || byte == '\\' || byte == ':' || static_cast<unsigned char>(byte) < 0x20) {
      return false;
    }
  }
  return true;
}

// The tail as it can stand in a log line: control bytes as \xNN.
std::string printable(const std::string& tail) {
  std::string text;
  for (const char byte : tail) {
    if (static_cast<unsigned char>(byte) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(byte)));
      text += escaped;
    } else {
      text += byte;
    }
  }
  return text;
}

std::string loadDescription(const std::string& identifier) {
  SpoolStorage* spool = nimbuswatch::process().spool;
  return spool != nullptr ? spool->load(identifier) : std::string();
}

}  // namespace

CoreRequestHandler::CoreRequestHandler(std::string url) : url(std::move(url)) {}

CoreRequestHandler::CoreRequestHandler(std::string url, std::unique_ptr<ElementRecord> record)
    : url(std::move(url)), record(std::move(record)) {}

void CoreRequestHandler::process() {
  const Process& values = nimbuswatch::process();
  if (url.compare(0, values.imagesURL.size(), values.imagesURL) != 0) {
    return;
  }
  const std::string tail = url.substr(values.imagesURL.size());
  if (!isSafeTail(tail)) {
    logMessage(kWarning, "%s:%d refusing image name [%s]", kModule, __LINE__, printable(tail).c_str());
    return;
  }
  const std::string path = values.imagesDir + tail;
  logMessage(kNotice, "file name:%s", path.c_str());
  if (fileExists(path)) {
    logMessage(kInfo, "cache hit: %s", tail.c_str());
    return;
  }
  logMessage(kDebug, "not cache hit");

  const std::string identifier = tail.substr(0, tail.find('.'));
  record = parseElementDescription(loadDescription(identifier));
  if (record == nullptr) {
    logMessage(kError, "%s:%d couldn't create tag for id=[%s]", kModule, __LINE__, identifier.c_str());
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
  const std::string temporary = path + platform::temporarySuffix();
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    logMessage(kError, "GD couldn't write file %s", path.c_str());
    return;
  }
  bool written = std::fwrite(gif.data(), 1, gif.size(), file) == gif.size();
  written = std::fclose(file) == 0 && written;
  if (!written || !platform::replaceFile(temporary, path)) {
    platform::removeFile(temporary);
    logMessage(kError, "GD couldn't write file %s", path.c_str());
  }
}

void handleImageRequest(const char* url) {
  CoreRequestHandler handler(url != nullptr ? url : "");
  handler.process();
}

bool fileExists(const std::string& path) { return platform::fileOpensForReading(path); }

}  // namespace nimbuswatch
