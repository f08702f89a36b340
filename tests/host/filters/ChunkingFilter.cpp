// Changes a response's length the way the real filter does: the header
// section loses Content-Length and, towards an HTTP/1.1 client, gains
// "Transfer-Encoding: chunked"; each body block becomes a chunk; the end of
// the request writes the marker "FINAL" with WriteClient. The host must hand
// that write back to this filter's raw-data notification, which recognises
// it and turns it into the last chunk ("0\r\n\r\n") — a host that skipped
// that step would leave the response unterminated.
//
// TESTFILTER_MODE=unframed drops Content-Length and adds nothing, so the
// host must close the connection after the response; the marker becomes
// "<!-- end -->".
#include "TestFilter.h"

#include "HTTPStreamParser/HttpRules.h"

#include <algorithm>

namespace {

struct State {
  bool active = false;   // this response is being changed
  bool inBody = false;
  bool finished = false; // END_OF_REQUEST came: the next raw block is ours
  std::string head;
  std::string out;
};

bool unframed() {
  const char* mode = std::getenv("TESTFILTER_MODE");
  return mode != nullptr && std::strcmp(mode, "unframed") == 0;
}

State& state(HTTP_FILTER_CONTEXT* pfc) {
  if (pfc->pFilterContext == nullptr) {
    pfc->pFilterContext = new State();
  }
  return *static_cast<State*>(pfc->pFilterContext);
}

std::string chunk(const std::string& data) {
  if (data.empty() || unframed()) {
    return data;
  }
  std::string framed;
  nimbuswatch::appendChunk(framed, data);
  return framed;
}

std::string rewriteHead(const std::string& head) {
  std::string result;
  std::size_t start = 0;
  std::size_t end = 0;
  while ((end = head.find("\r\n", start)) != std::string::npos && end > start) {
    std::string line = head.substr(start, end - start);
    std::string name = line.substr(0, line.find(':'));
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (name != "content-length") {
      result += line + "\r\n";
    }
    start = end + 2;
  }
  return result + (unframed() ? "" : "Transfer-Encoding: chunked\r\n") + "\r\n";
}

void onSendResponse(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response) {
  State& s = state(pfc);
  const std::string method = testfilter::serverVariable(pfc, "REQUEST_METHOD");
  const std::string protocol = testfilter::serverVariable(pfc, "SERVER_PROTOCOL");
  s.active = method != "HEAD" && response->HttpStatus != 304 && response->HttpStatus != 204 &&
             (unframed() || protocol == "HTTP/1.1");
  s.inBody = false;
  s.finished = false;
  s.head.clear();
}

void replaceBlock(HTTP_FILTER_RAW_DATA* raw, State& s) {
  raw->pvInData = s.out.empty() ? nullptr : s.out.data();
  raw->cbInData = static_cast<DWORD>(s.out.size());
}

void onRawData(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw) {
  State& s = state(pfc);
  if (!s.active) {
    return;
  }
  const std::string block(static_cast<const char*>(raw->pvInData), raw->cbInData);
  if (s.finished) {
    s.out = block == "FINAL" ? (unframed() ? "<!-- end -->" : "0\r\n\r\n") : block;
  } else if (s.inBody) {
    s.out = chunk(block);
  } else {
    s.head += block;
    const std::size_t end = s.head.find("\r\n\r\n");
    s.out.clear();
    if (end != std::string::npos) {
      s.inBody = true;
      s.out = rewriteHead(s.head.substr(0, end + 4)) + chunk(s.head.substr(end + 4));
    }
  }
  replaceBlock(raw, s);
}

void onEndOfRequest(HTTP_FILTER_CONTEXT* pfc) {
  State& s = state(pfc);
  if (s.active && !s.finished) {
    s.finished = true;
    char marker[] = "FINAL";
    DWORD size = 5;
    pfc->WriteClient(pfc, marker, &size, 0);
  }
}

}  // namespace

TEST_FILTER_EXPORT BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* version) {
  return testfilter::announce(version, "chunking test filter", testfilter::kAllNotifications);
}

TEST_FILTER_EXPORT DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notification, LPVOID data) {
  switch (notification) {
    case SF_NOTIFY_SEND_RESPONSE:
      onSendResponse(pfc, static_cast<HTTP_FILTER_SEND_RESPONSE*>(data));
      break;
    case SF_NOTIFY_SEND_RAW_DATA:
      onRawData(pfc, static_cast<HTTP_FILTER_RAW_DATA*>(data));
      break;
    case SF_NOTIFY_END_OF_REQUEST:
      onEndOfRequest(pfc);
      break;
    case SF_NOTIFY_END_OF_NET_SESSION:
      delete static_cast<State*>(pfc->pFilterContext);
      pfc->pFilterContext = nullptr;
      break;
    default:
      break;
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
