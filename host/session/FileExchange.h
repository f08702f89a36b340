// The exchange for a response the host makes itself: a static file under
// --root (or a picture in ImagesDir), an error page, a redirect. A file is
// read a batch at a time and handed to the filter in place.
#pragma once

#include "host/http/LocalResponse.h"
#include "host/http/ServerNames.h"

#include <string>

namespace nimbuswatch::host {

class Session;

class FileExchange {
 public:
  explicit FileExchange(Session& session) : session(session) {}

  // The file at `physical` for the current request.
  void serve(const std::string& physical, const RequestTarget& target);
  // Any response made here.
  void respond(LocalResponse response);
  // The next batch of the file.
  void pump();
  // After the request: the file is closed.
  void reset() { local = LocalResponse(); }

 private:
  Session& session;
  LocalResponse local;
};

}  // namespace nimbuswatch::host
