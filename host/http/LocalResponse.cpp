#include "host/http/LocalResponse.h"

#include "host/http/HttpDate.h"

#include <unistd.h>

#include <ctime>
#include <utility>

namespace nimbuswatch::host {

namespace {

std::string page(unsigned status, std::string_view text) {
  const std::string title = std::to_string(status) + " " + std::string(reasonPhrase(status));
  return "<!DOCTYPE html>\n<html><head><title>" + title + "</title></head>\n<body><h1>" + title +
         "</h1><p>" + std::string(text) + "</p></body></html>\n";
}

LocalResponse pageResponse(unsigned status, std::string body, bool headRequest) {
  LocalResponse response;
  response.status = status;
  response.fields = basicFields();
  response.fields.push_back({"Content-Type", "text/html"});
  response.fields.push_back({"Content-Length", std::to_string(body.size())});
  response.body = std::move(body);
  response.sendBody = !headRequest;
  return response;
}

std::string_view explanation(unsigned status) {
  switch (status) {
    case 400: return "The request could not be understood.";
    case 404: return "The requested URL was not found on this server.";
    case 405: return "This resource answers GET and HEAD only.";
    case 413: return "The request body is larger than this server accepts.";
    case 502: return "The upstream server did not answer.";
    default: return "The request could not be served.";
  }
}

}  // namespace

FileHandle::~FileHandle() {
  if (descriptor >= 0) {
    ::close(descriptor);
  }
}

FileHandle::FileHandle(FileHandle&& other) noexcept : descriptor(std::exchange(other.descriptor, -1)) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (descriptor >= 0) {
      ::close(descriptor);
    }
    descriptor = std::exchange(other.descriptor, -1);
  }
  return *this;
}

long FileHandle::read(char* buffer, std::size_t size) {
  return static_cast<long>(::read(descriptor, buffer, size));
}

Fields basicFields() {
  return {{"Date", formatHttpDate(std::time(nullptr))}, {"Server", "nimbuswatch-host/1.0"}};
}

LocalResponse errorResponse(unsigned status, bool headRequest) {
  LocalResponse response = pageResponse(status, page(status, explanation(status)), headRequest);
  if (status == 405) {
    response.fields.push_back({"Allow", "GET, HEAD"});
  }
  return response;
}

LocalResponse redirectResponse(std::string_view location, bool headRequest) {
  LocalResponse response =
      pageResponse(301, page(301, "The document has moved <a href=\"" + std::string(location) + "\">here</a>."),
                   headRequest);
  response.fields.push_back({"Location", std::string(location)});
  return response;
}

}  // namespace nimbuswatch::host
