#include "support/FakeServer.h"

#include <algorithm>
#include <cstring>

namespace nimbuswatch::test {

namespace {

char lowerCase(char byte) { return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte + 0x20) : byte; }

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowerCase(x) == lowerCase(y); });
}

// Header names reach GetHeader and SetHeader with their trailing colon; a
// name without it names no header.
bool hasColon(const char* name) {
  const std::size_t length = name == nullptr ? 0 : std::strlen(name);
  return length > 1 && name[length - 1] == ':';
}

std::string withoutColon(const char* name) { return std::string(name, std::strlen(name) - 1); }

}  // namespace

FakeServer::FakeServer() {
  filterContext.cbSize = sizeof filterContext;
  filterContext.Revision = HTTP_FILTER_REVISION;
  filterContext.ServerContext = this;
  filterContext.GetServerVariable = &FakeServer::getServerVariable;
  filterContext.AddResponseHeaders = &FakeServer::addResponseHeaders;
  filterContext.WriteClient = &FakeServer::writeClient;
  filterContext.AllocMem = &FakeServer::allocMem;
  filterContext.ServerSupportFunction = &FakeServer::serverSupportFunction;
  sendResponseRecord.GetHeader = &FakeServer::getHeader;
  sendResponseRecord.SetHeader = &FakeServer::setHeaderCallback;
  sendResponseRecord.AddHeader = &FakeServer::addHeaderCallback;
  sendResponseRecord.HttpStatus = 200;
}

void FakeServer::setServerVariable(const std::string& name, const std::string& value) {
  for (auto& [known, current] : serverVariables) {
    if (known == name) {
      current = value;
      return;
    }
  }
  serverVariables.emplace_back(name, value);
}

void FakeServer::setHeader(const std::string& name, const std::string& value) {
  for (auto& [known, current] : headers) {
    if (sameName(known, name)) {
      current = value;
      return;
    }
  }
  headers.emplace_back(name, value);
}

void FakeServer::removeHeader(const std::string& name) {
  std::erase_if(headers, [&](const auto& header) { return sameName(header.first, name); });
}

FakeServer& FakeServer::of(HTTP_FILTER_CONTEXT* pfc) { return *static_cast<FakeServer*>(pfc->ServerContext); }

BOOL FakeServer::fail(DWORD errorNumber) {
  error = errorNumber;
  return FALSE;
}

BOOL FakeServer::answer(const std::string& value, LPVOID buffer, LPDWORD size) {
  if (size == nullptr) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  const auto needed = static_cast<DWORD>(value.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, value.c_str(), needed);
  *size = needed;
  return TRUE;
}

const std::string* FakeServer::findHeader(const std::string& name) const {
  for (const auto& [known, value] : headers) {
    if (sameName(known, name)) {
      return &value;
    }
  }
  return nullptr;
}

BOOL WINAPI FakeServer::getServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size) {
  FakeServer& server = of(pfc);
  for (const auto& [known, value] : server.serverVariables) {
    if (name != nullptr && known == name) {
      return server.answer(value, buffer, size);
    }
  }
  return server.fail(ERROR_INVALID_INDEX);
}

BOOL WINAPI FakeServer::getHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size) {
  FakeServer& server = of(pfc);
  const std::string* value = hasColon(name) ? server.findHeader(withoutColon(name)) : nullptr;
  if (value == nullptr) {
    return server.fail(ERROR_INVALID_INDEX);
  }
  return server.answer(*value, buffer, size);
}

// An empty value removes the header.
BOOL WINAPI FakeServer::setHeaderCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  FakeServer& server = of(pfc);
  if (!hasColon(name)) {
    return server.fail(ERROR_INVALID_PARAMETER);
  }
  const std::string header = withoutColon(name);
  if (value == nullptr || *value == '\0') {
    server.removeHeader(header);
  } else {
    server.setHeader(header, value);
  }
  return TRUE;
}

BOOL WINAPI FakeServer::addHeaderCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  if (!hasColon(name)) {
    return of(pfc).fail(ERROR_INVALID_PARAMETER);
  }
  of(pfc).headers.emplace_back(withoutColon(name), value == nullptr ? "" : value);
  return TRUE;
}

BOOL WINAPI FakeServer::addResponseHeaders(HTTP_FILTER_CONTEXT* pfc, LPSTR, DWORD) {
  return of(pfc).fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI FakeServer::writeClient(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes, DWORD) {
  FakeServer& server = of(pfc);
  if (bytes == nullptr || (buffer == nullptr && *bytes != 0)) {
    return server.fail(ERROR_INVALID_PARAMETER);
  }
  HTTP_FILTER_RAW_DATA rawData{buffer, *bytes, *bytes, 0};
  if (server.writeHook) {
    server.writeHook(rawData);
  }
  if (rawData.cbInData != 0) {
    server.clientBytes.append(static_cast<const char*>(rawData.pvInData), rawData.cbInData);
  }
  return TRUE;
}

VOID* WINAPI FakeServer::allocMem(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD) {
  FakeServer& server = of(pfc);
  server.allocations.push_back(std::make_unique<std::byte[]>(std::max<DWORD>(size, 1)));
  return server.allocations.back().get();
}

BOOL WINAPI FakeServer::serverSupportFunction(HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE, PVOID, ULONG_PTR,
                                              ULONG_PTR) {
  return of(pfc).fail(ERROR_INVALID_PARAMETER);
}

}  // namespace nimbuswatch::test
