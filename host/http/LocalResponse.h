// A response the host makes itself (a static file, an error page, a
// redirect): its status, its fields and where its body comes from. It goes
// to the filter and the client like any other.
#pragma once

#include "host/http/ServerNames.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nimbuswatch::host {

// An open file descriptor, closed when the object goes.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int descriptor) : descriptor(descriptor) {}
  ~FileHandle();
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  bool isOpen() const { return descriptor >= 0; }
  int get() const { return descriptor; }
  // Reads up to `size` bytes; 0 at the end, -1 on error.
  long read(char* buffer, std::size_t size);

 private:
  int descriptor = -1;
};

struct LocalResponse {
  unsigned status = 200;
  Fields fields;
  std::string body;       // the whole body of a page made here, or
  FileHandle file;        // the file the body is read from,
  std::uint64_t remaining = 0;  // this many bytes of it: its size when opened
  bool sendBody = true;   // false for HEAD and 304: the header block only
};

// A small HTML page for an error status, with Content-Type and
// Content-Length; HEAD gets the same fields without the body.
LocalResponse errorResponse(unsigned status, bool headRequest);

// 301 to `location` (already encoded for a URL), with a small page.
LocalResponse redirectResponse(std::string_view location, bool headRequest);

// The fields every response made here starts with: Date and Server.
Fields basicFields();

}  // namespace nimbuswatch::host
