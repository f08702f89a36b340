// Image requests: a URL under the images URL names a GIF in the images
// directory; when that file is missing, the element it shows is read back
// from its spooled description, drawn and written there before the server
// looks the file up. The GIF files are the cache.
#pragma once

#include "HTMLStreamParser/ElementRecord.h"

#include <gd.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace nimbuswatch {

// Encoded GIF bytes as the drawing library hands them out; freed with
// gdFree. Empty after a rendering that failed.
class GifBytes {
 public:
  GifBytes() = default;
  GifBytes(void* data, int size) : bytes(data), count(data != nullptr && size > 0 ? std::size_t(size) : 0) {}

  explicit operator bool() const { return count != 0; }
  const void* data() const { return bytes.get(); }
  std::size_t size() const { return count; }

 private:
  struct Free {
    void operator()(void* data) const { gdFree(data); }
  };
  std::unique_ptr<void, Free> bytes;
  std::size_t count = 0;
};

class Settings;
class SpoolStorage;

// What an image request needs of the process: the settings with the font
// catalogue, the spool, and where pictures and fonts are. All of it outlives
// every request.
struct ImageSettings {
  const Settings* settings = nullptr;
  SpoolStorage* spool = nullptr;
  std::string_view imagesURL;
  std::string_view imagesDir;
  std::string_view fontsDir;
};

class CoreRequestHandler {
 public:
  CoreRequestHandler(std::string url, const ImageSettings& where);
  // A handler that draws a record already at hand; answer() still reads
  // its own record from the spool.
  CoreRequestHandler(std::string url, const ImageSettings& where, std::unique_ptr<ElementRecord> record);
  CoreRequestHandler(const CoreRequestHandler&) = delete;
  CoreRequestHandler& operator=(const CoreRequestHandler&) = delete;

  // Answers the request: nothing for a URL outside the images URL or whose
  // GIF exists; otherwise loads, draws and writes the GIF. Failures are
  // logged and leave no file.
  void answer();

  // Draws the record into a GIF picture, kept in the handler, and encodes
  // it. Empty after a failure, which has been logged.
  GifBytes renderGif();

 private:
  struct ImageDestroy {
    void operator()(gdImagePtr picture) const { gdImageDestroy(picture); }
  };

  void writeGif(const std::string& path, const GifBytes& gif) const;

  std::string url;
  ImageSettings where;
  // Declared in this order so that the record goes before the picture.
  std::unique_ptr<gdImage, ImageDestroy> image;
  std::unique_ptr<ElementRecord> record;
};

// The entry for every URL-mapping notification: one handler, one answer().
void handleImageRequest(const char* url, const ImageSettings& where);

// True when `path` opens for reading as a file; a directory does not count.
bool fileExists(const std::string& path);

// The font base name (file name without its extension) for a lower-case
// family; clears the bold and italic wishes that the chosen face fulfils.
std::string resolveFontFile(const Settings* settings, const std::string& family, int& bold, int& italic);

}  // namespace nimbuswatch
