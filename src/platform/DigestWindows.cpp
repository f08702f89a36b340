#include "platform/Digest.h"

#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <limits>
#include <stdexcept>
#include <vector>

namespace nimbuswatch::platform {

namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

// The algorithm provider is opened once and kept for the life of the
// process; the runtime shares it between threads.
BCRYPT_ALG_HANDLE md5Provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    return succeeded(BCryptOpenAlgorithmProvider(&handle, BCRYPT_MD5_ALGORITHM, nullptr, 0)) ? handle : nullptr;
  }();
  return provider;
}

// The size of the memory a hash object of the provider needs.
DWORD hashObjectSize(BCRYPT_ALG_HANDLE provider) {
  DWORD size = 0;
  ULONG written = 0;
  if (!succeeded(BCryptGetProperty(provider, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&size), sizeof size,
                                   &written, 0))) {
    return 0;
  }
  return size;
}

// One hash object over memory of the caller's; destroyed with the object.
class Hash {
 public:
  Hash(BCRYPT_ALG_HANDLE provider, std::vector<UCHAR>& memory) {
    if (!succeeded(BCryptCreateHash(provider, &handle, memory.data(), static_cast<ULONG>(memory.size()), nullptr, 0,
                                    0))) {
      handle = nullptr;
    }
  }
  ~Hash() {
    if (handle != nullptr) {
      BCryptDestroyHash(handle);
    }
  }
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;

  // Feeds `data` in pieces the interface's ULONG sizes can carry.
  bool feed(std::string_view data) {
    while (handle != nullptr && !data.empty()) {
      const std::size_t piece = std::min<std::size_t>(data.size(), std::numeric_limits<ULONG>::max());
      auto* bytes = reinterpret_cast<PUCHAR>(const_cast<char*>(data.data()));
      if (!succeeded(BCryptHashData(handle, bytes, static_cast<ULONG>(piece), 0))) {
        return false;
      }
      data.remove_prefix(piece);
    }
    return handle != nullptr;
  }
  bool finish(Md5Digest& digest) {
    return handle != nullptr &&
           succeeded(BCryptFinishHash(handle, digest.data(), static_cast<ULONG>(digest.size()), 0));
  }

 private:
  BCRYPT_HASH_HANDLE handle = nullptr;
};

}  // namespace

Md5Digest md5(std::string_view data) {
  const BCRYPT_ALG_HANDLE provider = md5Provider();
  static const DWORD objectSize = provider != nullptr ? hashObjectSize(provider) : 0;
  if (provider == nullptr || objectSize == 0) {
    throw std::runtime_error("MD5 digest failed");
  }
  // Each thread reuses memory of its own for the hash object.
  thread_local std::vector<UCHAR> memory;
  memory.resize(objectSize);
  Md5Digest digest{};
  Hash hash(provider, memory);
  if (!hash.feed(data) || !hash.finish(digest)) {
    throw std::runtime_error("MD5 digest failed");
  }
  return digest;
}

}  // namespace nimbuswatch::platform
