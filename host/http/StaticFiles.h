// Static files as the Windows web server serves them: GET and HEAD, the
// type from the extension, Content-Length and Last-Modified, a conditional
// GET answered with 304, index.html for a directory, 404 and 405 pages.
#pragma once

#include "host/http/LocalResponse.h"

#include <optional>
#include <string>

namespace nimbuswatch::host {

struct StaticRequest {
  std::string method;
  std::string urlPath;  // decoded, for the redirect of a directory
  std::string query;
  std::optional<std::string> ifModifiedSince;
};

// The response for the file at `physicalPath`. A directory named without
// its trailing '/' is redirected to the name with it, so relative links in
// its index page resolve; one named with it serves its index.html.
LocalResponse serveFile(const std::string& physicalPath, const StaticRequest& request);

}  // namespace nimbuswatch::host
