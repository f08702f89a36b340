#include "platform/ErrorText.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace nimbuswatch::test {
namespace {

// The runtime's text where it has one, one fixed text where it has none, on
// every platform.
TEST(ErrorTextTest, KnownNumbersGetTheRuntimesTextOthersOneFixedText) {
  EXPECT_EQ(platform::errorText(ENOENT), "No such file or directory");
  EXPECT_EQ(platform::errorText(EACCES), "Permission denied");
  for (int unknown : {-1, 0x7fff, 99999}) {
    EXPECT_EQ(platform::errorText(unknown), "(unknown system error)") << unknown;
  }
}

}  // namespace
}  // namespace nimbuswatch::test
