// An in-memory ISAPI server for tests: a real implementation of the server
// callbacks a filter uses (GetServerVariable, GetHeader, AllocMem,
// WriteClient, and SetHeader/AddHeader over the same header list) that
// behaves as the public documentation describes, so a test can drive the
// filter through the very records the web server hands it.
#pragma once

#include "platform/isapi.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace nimbuswatch::test {

class FakeServer {
 public:
  FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  // A server variable ("URL", "SERVER_PROTOCOL", "REQUEST_METHOD", ...);
  // names match exactly.
  void setServerVariable(const std::string& name, const std::string& value);
  // A response header, by name without its colon; GetHeader finds the first
  // one whose name matches without regard to case.
  void setHeader(const std::string& name, const std::string& value);
  void removeHeader(const std::string& name);
  void setStatus(DWORD status) { sendResponseRecord.HttpStatus = status; }

  // The records the server passes with its notifications.
  HTTP_FILTER_CONTEXT& context() { return filterContext; }
  HTTP_FILTER_SEND_RESPONSE& sendResponse() { return sendResponseRecord; }

  // Everything written with WriteClient, in order.
  const std::string& written() const { return clientBytes; }
  // Called with each WriteClient write before it reaches `written`, as the
  // server first shows such a write to the filters' raw-data notification.
  // The hook may replace the block.
  void onWriteClient(std::function<void(HTTP_FILTER_RAW_DATA&)> hook) { writeHook = std::move(hook); }

  std::size_t allocationCount() const { return allocations.size(); }
  // The error number the last failing callback left, as GetLastError gives it.
  DWORD lastError() const { return error; }

 private:
  static FakeServer& of(HTTP_FILTER_CONTEXT* pfc);
  static BOOL WINAPI getServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI addResponseHeaders(HTTP_FILTER_CONTEXT* pfc, LPSTR headers, DWORD reserved);
  static BOOL WINAPI writeClient(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes, DWORD reserved);
  static VOID* WINAPI allocMem(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD reserved);
  static BOOL WINAPI serverSupportFunction(HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE request, PVOID data,
                                           ULONG_PTR first, ULONG_PTR second);
  static BOOL WINAPI getHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI setHeaderCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);
  static BOOL WINAPI addHeaderCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);

  // Copies `value` and its terminating NUL into `buffer` as the server does:
  // FALSE with ERROR_INSUFFICIENT_BUFFER and the size needed when it does not fit.
  BOOL answer(const std::string& value, LPVOID buffer, LPDWORD size);
  BOOL fail(DWORD errorNumber);
  const std::string* findHeader(const std::string& nameWithColon) const;

  HTTP_FILTER_CONTEXT filterContext{};
  HTTP_FILTER_SEND_RESPONSE sendResponseRecord{};
  std::vector<std::pair<std::string, std::string>> serverVariables;
  std::vector<std::pair<std::string, std::string>> headers;
  std::vector<std::unique_ptr<std::byte[]>> allocations;
  std::string clientBytes;
  std::function<void(HTTP_FILTER_RAW_DATA&)> writeHook;
  DWORD error = 0;
};

}  // namespace nimbuswatch::test
