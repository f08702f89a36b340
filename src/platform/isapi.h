/* The ISAPI filter interface: the records, callbacks and constants through
 * which a web server drives a filter and the filter calls back into the
 * server. On Windows the platform's own <httpfilt.h> is used instead; on
 * other systems this header declares the same layout (field order and types
 * as publicly documented, DWORD 32-bit unsigned, BOOL 32-bit int), so any
 * host written from the public documentation can drive the filter. */
#ifndef NIMBUSWATCH_PLATFORM_ISAPI_H
#define NIMBUSWATCH_PLATFORM_ISAPI_H

#if defined(_WIN32)
#include <windows.h>
#include <httpfilt.h>

/* The two functions a filter exports, as a server that loads it calls them. */
typedef BOOL(WINAPI* PFN_GetFilterVersion)(HTTP_FILTER_VERSION* pVer);
typedef DWORD(WINAPI* PFN_HttpFilterProc)(HTTP_FILTER_CONTEXT* pfc, DWORD NotificationType,
                                          LPVOID pvNotification);
#else

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef char CHAR;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;
typedef uintptr_t ULONG_PTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* Error numbers that GetHeader and GetServerVariable leave behind. */
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_INDEX 1413

#define HTTP_FILTER_REVISION 0x00060000
#define SF_MAX_USERNAME (256 + 1)
#define SF_MAX_PASSWORD (256 + 1)
#define SF_MAX_AUTH_TYPE (32 + 1)
#define SF_MAX_FILTER_DESC_LEN (256 + 1)

enum SF_REQ_TYPE {
  SF_REQ_SEND_RESPONSE_HEADER,
  SF_REQ_ADD_HEADERS_ON_DENIAL,
  SF_REQ_SET_NEXT_READ_SIZE,
  SF_REQ_SET_PROXY_INFO,
  SF_REQ_GET_CONNID,
  SF_REQ_SET_CERTIFICATE_INFO,
  SF_REQ_GET_PROPERTY,
  SF_REQ_NORMALIZE_URL,
  SF_REQ_DISABLE_NOTIFICATIONS
};

enum SF_STATUS_TYPE {
  SF_STATUS_REQ_FINISHED = 0x08000000,
  SF_STATUS_REQ_FINISHED_KEEP_CONN,
  SF_STATUS_REQ_NEXT_NOTIFICATION,
  SF_STATUS_REQ_HANDLED_NOTIFICATION,
  SF_STATUS_REQ_ERROR,
  SF_STATUS_REQ_READ_NEXT
};

/* Notification flags: what a filter registers for in dwFlags, and the
 * NotificationType that HttpFilterProc receives. */
#define SF_NOTIFY_SECURE_PORT 0x00000001
#define SF_NOTIFY_NONSECURE_PORT 0x00000002
#define SF_NOTIFY_READ_RAW_DATA 0x00008000
#define SF_NOTIFY_PREPROC_HEADERS 0x00004000
#define SF_NOTIFY_AUTHENTICATION 0x00002000
#define SF_NOTIFY_URL_MAP 0x00001000
#define SF_NOTIFY_ACCESS_DENIED 0x00000800
#define SF_NOTIFY_SEND_RESPONSE 0x00000040
#define SF_NOTIFY_SEND_RAW_DATA 0x00000400
#define SF_NOTIFY_LOG 0x00000200
#define SF_NOTIFY_END_OF_REQUEST 0x00000080
#define SF_NOTIFY_END_OF_NET_SESSION 0x00000100
#define SF_NOTIFY_ORDER_HIGH 0x00080000
#define SF_NOTIFY_ORDER_MEDIUM 0x00040000
#define SF_NOTIFY_ORDER_LOW 0x00020000
#define SF_NOTIFY_ORDER_DEFAULT SF_NOTIFY_ORDER_LOW

typedef struct _HTTP_FILTER_CONTEXT {
  DWORD cbSize;
  DWORD Revision;
  PVOID ServerContext;
  DWORD ulReserved;
  BOOL fIsSecurePort;
  PVOID pFilterContext;
  BOOL(WINAPI* GetServerVariable)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszVariableName,
                                  LPVOID lpvBuffer, LPDWORD lpdwSize);
  BOOL(WINAPI* AddResponseHeaders)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszHeaders,
                                   DWORD dwReserved);
  BOOL(WINAPI* WriteClient)(struct _HTTP_FILTER_CONTEXT* pfc, LPVOID Buffer, LPDWORD lpdwBytes,
                            DWORD dwReserved);
  VOID*(WINAPI* AllocMem)(struct _HTTP_FILTER_CONTEXT* pfc, DWORD cbSize, DWORD dwReserved);
  BOOL(WINAPI* ServerSupportFunction)(struct _HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE sfReq,
                                      PVOID pData, ULONG_PTR ul1, ULONG_PTR ul2);
} HTTP_FILTER_CONTEXT, *PHTTP_FILTER_CONTEXT;

typedef struct _HTTP_FILTER_RAW_DATA {
  PVOID pvInData;
  DWORD cbInData;
  DWORD cbInBuffer;
  DWORD dwReserved;
} HTTP_FILTER_RAW_DATA, *PHTTP_FILTER_RAW_DATA;

typedef struct _HTTP_FILTER_PREPROC_HEADERS {
  BOOL(WINAPI* GetHeader)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPVOID lpvBuffer,
                          LPDWORD lpdwSize);
  BOOL(WINAPI* SetHeader)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPSTR lpszValue);
  BOOL(WINAPI* AddHeader)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPSTR lpszValue);
  DWORD HttpStatus;
  DWORD dwReserved;
} HTTP_FILTER_PREPROC_HEADERS, *PHTTP_FILTER_PREPROC_HEADERS;

typedef HTTP_FILTER_PREPROC_HEADERS HTTP_FILTER_SEND_RESPONSE;
typedef HTTP_FILTER_PREPROC_HEADERS* PHTTP_FILTER_SEND_RESPONSE;

typedef struct _HTTP_FILTER_URL_MAP {
  LPCSTR pszURL;
  LPSTR pszPhysicalPath;
  DWORD cbPathBuff;
} HTTP_FILTER_URL_MAP, *PHTTP_FILTER_URL_MAP;

typedef struct _HTTP_FILTER_VERSION {
  DWORD dwServerFilterVersion;
  DWORD dwFilterVersion;
  CHAR lpszFilterDesc[SF_MAX_FILTER_DESC_LEN];
  DWORD dwFlags;
} HTTP_FILTER_VERSION, *PHTTP_FILTER_VERSION;

/* The two functions a filter exports. */
typedef BOOL(WINAPI* PFN_GetFilterVersion)(HTTP_FILTER_VERSION* pVer);
typedef DWORD(WINAPI* PFN_HttpFilterProc)(HTTP_FILTER_CONTEXT* pfc, DWORD NotificationType,
                                          LPVOID pvNotification);

#ifdef __cplusplus
}
#endif

#endif /* !_WIN32 */
#endif /* NIMBUSWATCH_PLATFORM_ISAPI_H */
