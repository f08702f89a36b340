// The filter's side of the web server's filter interface: the one-time
// start-up that makes the process-wide objects, and the dispatch of the
// notifications the filter registers for.
#pragma once

#include "platform/isapi.h"

namespace nimbuswatch {

// What the filter announces in GetFilterVersion.
inline constexpr DWORD kFilterVersion = 0x00040000;
inline constexpr const char* kFilterDescription = "nimbuswatch/1.0";
inline constexpr DWORD kFilterFlags = SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT | SF_NOTIFY_SEND_RESPONSE |
                                      SF_NOTIFY_END_OF_REQUEST | SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_URL_MAP |
                                      SF_NOTIFY_ORDER_HIGH;
static_assert(kFilterFlags == 0x000814C3);

// Fills the version record and runs start-up, once per process.
BOOL getFilterVersion(HTTP_FILTER_VERSION* version);

// Makes the settings, the spool storage and the logger, and copies the
// images URL and the images and fonts directories into the process-wide
// values. A logger that cannot be made is left out; everything else works.
void startUp();

// Handles one notification; always lets the server go on with the next.
DWORD httpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, void* notification);

}  // namespace nimbuswatch
