#include "platform/Digest.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace nimbuswatch::platform {

namespace {

// The algorithm is fetched once: an implicit fetch on every call costs more
// than digesting a short description.
const EVP_MD* md5Algorithm() {
  static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "MD5", nullptr);
  return algorithm;
}

struct ContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// Each thread reuses one context of its own, so concurrent calls share nothing.
EVP_MD_CTX* threadContext() {
  thread_local std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
  return context.get();
}

}  // namespace

Md5Digest md5(std::string_view data) {
  Md5Digest digest{};
  unsigned int length = 0;
  EVP_MD_CTX* context = threadContext();
  const EVP_MD* algorithm = md5Algorithm();
  if (context == nullptr || algorithm == nullptr || EVP_DigestInit_ex(context, algorithm, nullptr) != 1 ||
      EVP_DigestUpdate(context, data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(context, digest.data(), &length) != 1 || length != digest.size()) {
    throw std::runtime_error("MD5 digest failed");
  }
  return digest;
}

}  // namespace nimbuswatch::platform
