// The Content-Type a static file is served with, chosen by its extension.
#pragma once

#include <string_view>

namespace nimbuswatch::host {

// "text/html" for ".html" and ".htm", the usual types for style sheets,
// scripts, pictures, fonts and text, "application/octet-stream" for anything
// else. Extensions match without regard to case.
std::string_view mimeType(std::string_view path);

}  // namespace nimbuswatch::host
