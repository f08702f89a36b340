// One client connection as a filter sees it: the HTTP_FILTER_CONTEXT with
// the server's callbacks, the connection's pFilterContext and AllocMem
// memory, and the notifications of each request in order. Everything the
// client is to receive collects in one output buffer, filtered, in the order
// the bytes were produced; the session sends it and empties it.
//
// Without a filter every notification is skipped and raw data passes as it is.
#pragma once

#include "platform/isapi.h"
#include "server/Fields.h"
#include "server/LoadedFilter.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nimbuswatch::server {

struct RequestVariables {
  std::string url;       // decoded path, no query
  std::string query;     // QUERY_STRING
  std::string method;    // REQUEST_METHOD
  std::string protocol;  // SERVER_PROTOCOL, "HTTP/1.1" or "HTTP/1.0"
};

class ServerConnection {
 public:
  explicit ServerConnection(const LoadedFilter* filter);
  // Ends an open request with SF_NOTIFY_END_OF_REQUEST (its bytes are
  // dropped; the client is gone), sends SF_NOTIFY_END_OF_NET_SESSION, and
  // releases the AllocMem memory.
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  // Each notification answers false when the filter ended the request by
  // its return value (SF_STATUS_REQ_FINISHED, ..._KEEP_CONN or ..._ERROR);
  // the session then closes the connection after sending the output.

  void beginRequest(RequestVariables variables);
  // SF_NOTIFY_URL_MAP; the filter may rewrite `physicalPath` in place.
  bool urlMap(std::string& physicalPath);
  // SF_NOTIFY_SEND_RESPONSE. The connection keeps the fields until the end
  // of the request: GetHeader reads them (from raw-data notifications too),
  // SetHeader and AddHeader change them, and the header block is made from
  // responseFields() afterwards.
  bool sendResponse(unsigned status, Fields fields);
  // SF_NOTIFY_SEND_RAW_DATA for one block the caller keeps: the filter gets
  // a copy, since it may change the block in place. What it leaves goes to
  // the output.
  bool rawData(std::string_view block);
  // The same for a block the filter may change where it lies, as servers
  // hand over their own buffers: no copy is made.
  bool rawDataInPlace(char* block, std::size_t size);
  // SF_NOTIFY_END_OF_REQUEST; a WriteClient made during it passes through
  // SF_NOTIFY_SEND_RAW_DATA before it reaches the output.
  bool endOfRequest();

  bool requestOpen() const { return inRequest; }
  std::string& output() { return pending; }
  const Fields& responseFields() const { return fields; }
  Fields& responseFields() { return fields; }
  HTTP_FILTER_CONTEXT& context() { return filterContext; }
  // The record SF_NOTIFY_SEND_RESPONSE hands over, with GetHeader, SetHeader
  // and AddHeader working on responseFields().
  HTTP_FILTER_SEND_RESPONSE& sendResponseRecord() { return sendRecord; }
  // Number of AllocMem blocks the connection holds.
  std::size_t allocatedBlocks() const { return memory.size(); }
  // The error number the last failing callback left, as GetLastError gives
  // it on Windows (errno here).
  static DWORD lastError();

 private:
  static ServerConnection& of(HTTP_FILTER_CONTEXT* pfc);
  static BOOL WINAPI getServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI writeClient(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes, DWORD reserved);
  static VOID* WINAPI allocMem(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD reserved);
  static BOOL WINAPI addResponseHeaders(HTTP_FILTER_CONTEXT* pfc, LPSTR headers, DWORD reserved);
  static BOOL WINAPI serverSupportFunction(HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE request,
                                           PVOID data, ULONG_PTR first, ULONG_PTR second);
  static BOOL WINAPI getHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI setHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);
  static BOOL WINAPI addHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);

  const std::string* variable(std::string_view name) const;
  bool notify(DWORD notification, void* record);
  bool wantsRawData() const;
  void filterBytes(std::string_view bytes);

  const LoadedFilter* filter;
  HTTP_FILTER_CONTEXT filterContext{};
  HTTP_FILTER_SEND_RESPONSE sendRecord{};
  RequestVariables request;
  Fields fields;
  std::string pending;
  std::string scratch;  // the filter's copy of a block the caller keeps
  std::vector<std::unique_ptr<unsigned char[]>> memory;
  bool inRequest = false;
  int rawDepth = 0;
};

}  // namespace nimbuswatch::server
