#include "support/RawHttp.h"

#include "HTTPStreamParser/HttpRules.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <utility>

namespace nimbuswatch::test {

namespace {

constexpr int kReadTimeoutMs = 10000;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  return first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

void parseHead(const std::string& head, RawResponse& response) {
  std::size_t lineEnd = head.find("\r\n");
  const std::string statusLine = head.substr(0, lineEnd);
  if (statusLine.size() < 12 || statusLine.compare(0, 5, "HTTP/") != 0) {
    throw std::runtime_error("bad status line: " + statusLine);
  }
  response.version = statusLine.substr(0, 8);
  response.status = static_cast<unsigned>(std::stoul(statusLine.substr(9, 3)));
  std::size_t start = lineEnd + 2;
  while ((lineEnd = head.find("\r\n", start)) != std::string::npos && lineEnd > start) {
    const std::string line = head.substr(start, lineEnd - start);
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
      throw std::runtime_error("bad header line: " + line);
    }
    response.fields.emplace(lower(line.substr(0, colon)), trim(line.substr(colon + 1)));
    start = lineEnd + 2;
  }
}

}  // namespace

std::string RawResponse::field(const std::string& name) const {
  const auto found = fields.find(name);
  return found == fields.end() ? std::string() : found->second;
}

RawConnection::RawConnection(unsigned short port) {
  descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (descriptor < 0 || ::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect to port " + std::to_string(port));
  }
}

RawConnection::~RawConnection() {
  if (descriptor >= 0) {
    ::close(descriptor);
  }
}

void RawConnection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) {
      throw std::runtime_error("send failed");
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

void RawConnection::fill() {
  pollfd ready{descriptor, POLLIN, 0};
  if (::poll(&ready, 1, kReadTimeoutMs) <= 0) {
    throw std::runtime_error("no answer within the timeout");
  }
  char block[16384];
  const ssize_t count = ::recv(descriptor, block, sizeof block, 0);
  if (count <= 0) {
    ended = true;
    throw std::runtime_error("connection closed before the response was complete");
  }
  received.append(block, static_cast<std::size_t>(count));
}

std::string RawConnection::take(std::size_t count) {
  while (received.size() < count) {
    fill();
  }
  std::string taken = received.substr(0, count);
  received.erase(0, count);
  return taken;
}

std::string RawConnection::takeLine() {
  std::size_t end = 0;
  while ((end = received.find("\r\n")) == std::string::npos) {
    fill();
  }
  return take(end + 2).substr(0, end);
}

RawResponse RawConnection::read(bool headRequest) {
  RawResponse response;
  std::size_t end = 0;
  while ((end = received.find("\r\n\r\n")) == std::string::npos) {
    fill();
  }
  response.head = take(end + 4);
  parseHead(response.head, response);
  if (!responseHasBody(headRequest, response.status)) {
    return response;
  }
  if (lower(response.field("transfer-encoding")) == "chunked") {
    response.chunked = true;
    std::size_t size = 0;
    while ((size = std::stoul(takeLine(), nullptr, 16)) > 0) {
      response.body += take(size);
      if (takeLine() != "") {
        throw std::runtime_error("chunk without its line end");
      }
    }
    while (!takeLine().empty()) {
    }
  } else if (response.has("content-length")) {
    response.body = take(std::stoul(response.field("content-length")));
  } else {
    response.untilClose = true;
    response.body = readUntilClose();
  }
  return response;
}

std::string RawConnection::readSome() {
  if (received.empty()) {
    fill();
  }
  return std::exchange(received, std::string());
}

std::string RawConnection::readUntilClose() {
  try {
    while (true) {
      fill();
    }
  } catch (const std::runtime_error&) {
    if (!ended) {
      throw;
    }
  }
  return std::exchange(received, std::string());
}

RawResponse RawConnection::exchange(std::string_view request, bool headRequest) {
  send(request);
  return read(headRequest);
}

bool RawConnection::closedByPeer(std::chrono::milliseconds timeout) {
  if (ended) {
    return received.empty();
  }
  pollfd ready{descriptor, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) {
    return false;
  }
  char byte = 0;
  return ::recv(descriptor, &byte, 1, 0) <= 0 && received.empty();
}

std::string getRequest(std::string_view path, std::string_view extraFields, std::string_view method,
                       std::string_view version) {
  std::string request(method);
  request += ' ';
  request += path;
  request += ' ';
  request += version;
  request += "\r\nHost: 127.0.0.1\r\n";
  request += extraFields;
  request += "\r\n";
  return request;
}

}  // namespace nimbuswatch::test
