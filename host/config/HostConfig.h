// The part of the filter's configuration the host needs itself: where the
// filter's pictures are addressed and where they lie. Read from the same
// registry export the filter reads, so the two always agree.
#pragma once

#include <string>

namespace nimbuswatch::host {

struct ImagesConfig {
  std::string url;  // ImagesURL: the URL prefix of every picture
  std::string dir;  // ImagesDir: the directory holding the GIF files
};

// Names `file` as the filter's registry export (NIMBUSWATCH_REGISTRY), which
// must happen before the filter is loaded. Returns the error line when the
// file cannot be read, else the empty text.
std::string useConfigFile(const std::string& file);

// ImagesURL and ImagesDir from the registry export in use; a value that is
// missing or unreadable is empty.
ImagesConfig readImagesConfig();

}  // namespace nimbuswatch::host
