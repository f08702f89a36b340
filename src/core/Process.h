// The process-wide values of the filter: made once by start-up, before the
// first notification, and only read afterwards, by every worker thread.
// Tests set them directly (see tests/support).
//
// The other process-wide state, each safe for the same reason or its own:
// - the logger pointer (Logger/), set by start-up like these values;
// - the open font faces (TextEngine/FontFaces), a cache behind its own locks;
// - three per-thread tables, touched only by their own thread: the digest
//   context (platform/Digest), the spool's memo of files recently seen
//   (SpoolStorage) and the memo of elements rewritten lately
//   (HTMLStreamParser/TextimageRewriter).
#pragma once

#include "CoreRequestHandler/CoreRequestHandler.h"
#include "HTMLStreamParser/TextimageRewriter.h"

#include <string>

namespace nimbuswatch {

class Settings;
class SpoolStorage;

struct ProcessValues {
  Settings* settings = nullptr;
  SpoolStorage* spool = nullptr;
  std::string imagesURL;
  std::string imagesDir;
  std::string fontsDir;

  // What rewriting a page needs of them.
  ElementStore elementStore() const { return {spool, imagesURL}; }
  // What an image request needs of them.
  ImageSettings imageSettings() const { return {settings, spool, imagesURL, imagesDir, fontsDir}; }
};

// The one instance.
ProcessValues& processValues();

}  // namespace nimbuswatch
