#include "server/ServerConnection.h"

#include <cerrno>
#include <cstring>

namespace nimbuswatch::server {

namespace {

constexpr DWORD kErrorNotSupported = 50;

// The error number a failing callback leaves, where the platform keeps it.
void setLastError(DWORD error) {
#if defined(_WIN32)
  ::SetLastError(error);
#else
  errno = static_cast<int>(error);
#endif
}

bool endsRequest(DWORD status) {
  return status == SF_STATUS_REQ_FINISHED || status == SF_STATUS_REQ_FINISHED_KEEP_CONN ||
         status == SF_STATUS_REQ_ERROR;
}

// The size protocol shared by GetServerVariable and GetHeader: the value
// with its NUL when it fits, else FALSE with the size needed.
BOOL copyOut(const std::string& value, LPVOID buffer, LPDWORD size) {
  const auto needed = static_cast<DWORD>(value.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    setLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, value.c_str(), needed);
  *size = needed;
  return TRUE;
}

BOOL absent(LPDWORD size) {
  *size = 0;
  setLastError(ERROR_INVALID_INDEX);
  return FALSE;
}

// "Content-Type:" into "Content-Type"; the name must carry its colon.
bool headerName(LPCSTR name, std::string_view& bare) {
  if (name == nullptr) {
    return false;
  }
  bare = name;
  if (bare.size() < 2 || bare.back() != ':') {
    return false;
  }
  bare.remove_suffix(1);
  return true;
}

}  // namespace

ServerConnection::ServerConnection(const LoadedFilter* filter) : filter(filter) {
  filterContext.cbSize = sizeof(HTTP_FILTER_CONTEXT);
  filterContext.Revision = HTTP_FILTER_REVISION;
  filterContext.ServerContext = this;
  filterContext.fIsSecurePort = FALSE;
  filterContext.pFilterContext = nullptr;
  filterContext.GetServerVariable = &ServerConnection::getServerVariable;
  filterContext.AddResponseHeaders = &ServerConnection::addResponseHeaders;
  filterContext.WriteClient = &ServerConnection::writeClient;
  filterContext.AllocMem = &ServerConnection::allocMem;
  filterContext.ServerSupportFunction = &ServerConnection::serverSupportFunction;
  sendRecord.GetHeader = &ServerConnection::getHeader;
  sendRecord.SetHeader = &ServerConnection::setHeader;
  sendRecord.AddHeader = &ServerConnection::addHeader;
}

ServerConnection::~ServerConnection() {
  if (inRequest) {
    endOfRequest();
  }
  notify(SF_NOTIFY_END_OF_NET_SESSION, nullptr);
}

ServerConnection& ServerConnection::of(HTTP_FILTER_CONTEXT* pfc) {
  return *static_cast<ServerConnection*>(pfc->ServerContext);
}

void ServerConnection::beginRequest(RequestVariables variables) {
  request = std::move(variables);
  fields.clear();
  inRequest = true;
}

bool ServerConnection::notify(DWORD notification, void* record) {
  if (filter == nullptr || !filter->wants(notification)) {
    return true;
  }
  return !endsRequest(filter->notify(&filterContext, notification, record));
}

bool ServerConnection::urlMap(std::string& physicalPath) {
  if (filter == nullptr || !filter->wants(SF_NOTIFY_URL_MAP)) {
    return true;
  }
  // Room for the filter to lengthen the path in place.
  std::vector<char> path(physicalPath.size() + 1 + 1024, '\0');
  std::memcpy(path.data(), physicalPath.c_str(), physicalPath.size() + 1);
  HTTP_FILTER_URL_MAP record{request.url.c_str(), path.data(), static_cast<DWORD>(path.size())};
  const bool goOn = notify(SF_NOTIFY_URL_MAP, &record);
  path.back() = '\0';
  physicalPath = path.data();
  return goOn;
}

bool ServerConnection::sendResponse(unsigned status, Fields responseFields) {
  fields = std::move(responseFields);
  sendRecord.HttpStatus = status;
  sendRecord.dwReserved = 0;
  return notify(SF_NOTIFY_SEND_RESPONSE, &sendRecord);
}

bool ServerConnection::rawData(std::string_view block) {
  if (!wantsRawData()) {
    pending.append(block);
    return true;
  }
  scratch.assign(block);
  return rawDataInPlace(scratch.data(), scratch.size());
}

bool ServerConnection::rawDataInPlace(char* block, std::size_t size) {
  if (!wantsRawData()) {
    pending.append(block, size);
    return true;
  }
  HTTP_FILTER_RAW_DATA record{block, static_cast<DWORD>(size), static_cast<DWORD>(size), 0};
  ++rawDepth;
  const bool goOn = notify(SF_NOTIFY_SEND_RAW_DATA, &record);
  --rawDepth;
  if (record.pvInData != nullptr && record.cbInData > 0) {
    pending.append(static_cast<const char*>(record.pvInData), record.cbInData);
  }
  return goOn;
}

bool ServerConnection::wantsRawData() const {
  return filter != nullptr && filter->wants(SF_NOTIFY_SEND_RAW_DATA);
}

bool ServerConnection::endOfRequest() {
  inRequest = false;
  const bool goOn = notify(SF_NOTIFY_END_OF_REQUEST, nullptr);
  fields.clear();
  return goOn;
}

void ServerConnection::filterBytes(std::string_view bytes) {
  // Bytes written while a raw block is being filtered go straight out, so
  // a filter that writes from its raw-data handler cannot recurse.
  if (rawDepth > 0) {
    pending.append(bytes);
  } else {
    rawData(bytes);
  }
}

DWORD ServerConnection::lastError() {
#if defined(_WIN32)
  return ::GetLastError();
#else
  return static_cast<DWORD>(errno);
#endif
}

const std::string* ServerConnection::variable(std::string_view name) const {
  if (name == "URL") {
    return &request.url;
  }
  if (name == "SERVER_PROTOCOL") {
    return &request.protocol;
  }
  if (name == "REQUEST_METHOD") {
    return &request.method;
  }
  if (name == "QUERY_STRING") {
    return &request.query;
  }
  return nullptr;
}

BOOL WINAPI ServerConnection::getServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                                LPDWORD size) {
  if (size == nullptr || name == nullptr) {
    setLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string* value = of(pfc).variable(name);
  return value == nullptr ? absent(size) : copyOut(*value, buffer, size);
}

BOOL WINAPI ServerConnection::writeClient(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes,
                                          DWORD /*reserved*/) {
  if (bytes == nullptr || (buffer == nullptr && *bytes > 0)) {
    setLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (*bytes > 0) {
    of(pfc).filterBytes(std::string_view(static_cast<const char*>(buffer), *bytes));
  }
  return TRUE;
}

VOID* WINAPI ServerConnection::allocMem(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD /*reserved*/) {
  auto& memory = of(pfc).memory;
  memory.push_back(std::make_unique_for_overwrite<unsigned char[]>(size == 0 ? 1 : size));
  return memory.back().get();
}

BOOL WINAPI ServerConnection::addResponseHeaders(HTTP_FILTER_CONTEXT* /*pfc*/, LPSTR /*headers*/,
                                                 DWORD /*reserved*/) {
  setLastError(kErrorNotSupported);
  return FALSE;
}

BOOL WINAPI ServerConnection::serverSupportFunction(HTTP_FILTER_CONTEXT* /*pfc*/,
                                                    enum SF_REQ_TYPE /*request*/, PVOID /*data*/,
                                                    ULONG_PTR /*first*/, ULONG_PTR /*second*/) {
  setLastError(kErrorNotSupported);
  return FALSE;
}

BOOL WINAPI ServerConnection::getHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                        LPDWORD size) {
  if (size == nullptr) {
    setLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string_view bare;
  if (!headerName(name, bare)) {
    return absent(size);
  }
  const auto value = fieldValue(of(pfc).fields, bare);
  return value ? copyOut(*value, buffer, size) : absent(size);
}

BOOL WINAPI ServerConnection::setHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  std::string_view bare;
  if (!headerName(name, bare) || value == nullptr) {
    setLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Fields& fields = of(pfc).fields;
  if (*value == '\0') {
    removeField(fields, bare);
  } else {
    setField(fields, bare, value);
  }
  return TRUE;
}

BOOL WINAPI ServerConnection::addHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  std::string_view bare;
  if (!headerName(name, bare) || value == nullptr) {
    setLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  of(pfc).fields.push_back({std::string(bare), value});
  return TRUE;
}

}  // namespace nimbuswatch::server
