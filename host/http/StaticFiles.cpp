#include "host/http/StaticFiles.h"

#include "host/http/HttpDate.h"
#include "host/http/MimeType.h"
#include "host/http/ServerNames.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace nimbuswatch::host {

namespace {

bool notModified(const struct stat& info, const StaticRequest& request) {
  if (!request.ifModifiedSince) {
    return false;
  }
  const auto since = parseHttpDate(*request.ifModifiedSince);
  return since && info.st_mtime <= *since;
}

LocalResponse fileResponse(FileHandle file, const struct stat& info, const std::string& path,
                           const StaticRequest& request) {
  LocalResponse response;
  response.fields = basicFields();
  if (notModified(info, request)) {
    response.status = 304;
    response.fields.push_back({"Last-Modified", formatHttpDate(info.st_mtime)});
    response.sendBody = false;
    return response;
  }
  response.fields.push_back({"Content-Type", std::string(mimeType(path))});
  response.fields.push_back({"Last-Modified", formatHttpDate(info.st_mtime)});
  response.fields.push_back({"Content-Length", std::to_string(info.st_size)});
  response.sendBody = request.method != "HEAD";
  response.file = std::move(file);
  // The length announced is what is sent: a file that grows meanwhile is
  // not read past it, one that shrinks cuts the response off.
  response.remaining = static_cast<std::uint64_t>(info.st_size);
  return response;
}

// Opens a regular file for reading; an empty handle for anything else.
FileHandle openRegular(const std::string& path, struct stat& info) {
  FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.isOpen() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return FileHandle();
  }
  return file;
}

}  // namespace

LocalResponse serveFile(const std::string& physicalPath, const StaticRequest& request) {
  const bool head = request.method == "HEAD";
  if (request.method != "GET" && !head) {
    return errorResponse(405, false);
  }
  std::string path = physicalPath;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    if (!request.urlPath.ends_with('/')) {
      std::string location = percentEncodePath(request.urlPath + "/");
      if (!request.query.empty()) {
        location += "?" + request.query;
      }
      return redirectResponse(location, head);
    }
    path = joinPath(path, "index.html");
  }
  FileHandle file = openRegular(path, info);
  if (!file.isOpen()) {
    return errorResponse(404, head);
  }
  return fileResponse(std::move(file), info, path, request);
}

}  // namespace nimbuswatch::host
