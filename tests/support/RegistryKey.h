// The filter's registry key, HKEY_LOCAL_MACHINE\SOFTWARE\Nimbuswatch, for the
// length of one test: on Windows the real key, written with RegSetValueExA
// (in the tests' own Wine prefix); elsewhere a registry export file in a
// temporary directory, named by NIMBUSWATCH_REGISTRY.
//
// On Windows the key is one for the whole machine: test programs that use
// it are registered with the REGISTRY option, so they run one at a time.
#pragma once

#include "support/Environment.h"
#include "support/TestSupport.h"

#include <string>
#include <utility>
#include <vector>

namespace nimbuswatch::test {

class ScopedRegistryKey {
 public:
  // Value names and their string data.
  using Values = std::vector<std::pair<std::string, std::string>>;

  // Starts with no key at all.
  ScopedRegistryKey();
  // Removes the key.
  ~ScopedRegistryKey();
  ScopedRegistryKey(const ScopedRegistryKey&) = delete;
  ScopedRegistryKey& operator=(const ScopedRegistryKey&) = delete;

  // Replaces the key by one that holds exactly `values`, as string values.
  void write(const Values& values);

 private:
#if !defined(_WIN32)
  TempDir dir;
  ScopedEnvironment variable{"NIMBUSWATCH_REGISTRY", dir.file("nimbuswatch.reg")};
#endif
};

}  // namespace nimbuswatch::test
