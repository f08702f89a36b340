#include "platform/DirectoryListing.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nimbuswatch::test {
namespace {

std::vector<std::string> listAll(const std::string& pattern) {
  platform::DirectoryListing listing;
  std::vector<std::string> names;
  std::string name;
  for (bool more = listing.findFirst(pattern, name); more; more = listing.findNext(name)) {
    names.push_back(name);
  }
  listing.close();
  return names;
}

// Which names "*.ttf" lists, and in which order, decides which font file
// answers for a family: the order must not depend on the file system.
TEST(DirectoryListingTest, ListsMatchingNamesInThePlatformsOrder) {
  TempDir dir;
  for (const char* name : {"b.ttf", "ab.ttf", "A.TTF", "a_b.ttf", "Ab2.ttf", "z.ttf.bak", "notes.txt"}) {
    writeFile(dir.file(name), "x");
  }
#if defined(_WIN32)
  // Letter case ignored, as in matching; ordered by the upper-case form as
  // NTFS keeps names, so "_" comes after the letters and digits.
  const std::vector<std::string> expected{"A.TTF", "ab.ttf", "Ab2.ttf", "a_b.ttf", "b.ttf"};
#else
  // Letter case respected; byte-wise order.
  const std::vector<std::string> expected{"Ab2.ttf", "a_b.ttf", "ab.ttf", "b.ttf"};
#endif
  EXPECT_EQ(listAll(dir.path() + "*.ttf"), expected);
  EXPECT_EQ(listAll(dir.path() + "nothing*.ttf"), std::vector<std::string>{});
  EXPECT_EQ(listAll(dir.path() + "missing/*.ttf"), std::vector<std::string>{});
}

}  // namespace
}  // namespace nimbuswatch::test
