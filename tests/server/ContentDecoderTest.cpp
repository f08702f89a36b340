// Decoding pages an upstream compressed: every coding the host reads, fed in
// pieces of any size, and data that is not what its coding says.
#include "server/ContentDecoder.h"

#include "support/Compression.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace nimbuswatch::server {
namespace {

struct Decoded {
  std::string text;
  bool ok = true;
  bool complete = false;
  std::size_t largestPortion = 0;
};

// `data` fed in pieces of `pieceSize`, each decoded in portions of `limit`.
Decoded decode(ContentDecoder::Coding coding, const std::string& data, std::size_t pieceSize, std::size_t limit) {
  ContentDecoder decoder(coding);
  Decoded result;
  std::string portion;
  std::string error;
  for (std::size_t at = 0; at < data.size() && result.ok; at += pieceSize) {
    const std::string piece = data.substr(at, pieceSize);
    decoder.input(piece);
    do {
      result.ok = decoder.decode(portion, limit, error);
      result.text += portion;
      result.largestPortion = std::max(result.largestPortion, portion.size());
    } while (result.ok && decoder.pending());
  }
  result.complete = decoder.complete();
  return result;
}

TEST(ContentDecoderTest, ReadsEveryCodingInPiecesOfAnySize) {
  std::string page = "<html><body>\n";
  for (int i = 0; i < 500; ++i) {
    page += "<p>Line " + std::to_string(i) + " <textimage>sales@example.org</textimage></p>\n";
  }
  using Coding = ContentDecoder::Coding;
  const struct {
    const char* name;
    Coding coding;
    std::string data;
  } cases[] = {
      {"gzip", Coding::Gzip, test::compressed(page, 31)},
      {"deflate with its zlib wrapper", Coding::Deflate, test::compressed(page, 15)},
      {"bare deflate", Coding::Deflate, test::compressed(page, -15)},
      {"two gzip members", Coding::Gzip,
       test::compressed(page.substr(0, 1000), 31) + test::compressed(page.substr(1000), 31)},
  };
  for (const auto& c : cases) {
    for (const std::size_t pieceSize : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, c.data.size()}) {
      const Decoded result = decode(c.coding, c.data, pieceSize, 1000);
      EXPECT_TRUE(result.ok && result.complete) << c.name << ", pieces of " << pieceSize;
      EXPECT_EQ(result.text, page) << c.name << ", pieces of " << pieceSize;
    }
  }
}

TEST(ContentDecoderTest, BadOrShortDataIsToldAndExpansionComesInBoundedPortions) {
  const std::string zeros(4 << 20, '\0');
  const std::string bomb = test::compressed(zeros, 31);
  ASSERT_LT(bomb.size(), 8192u);
  const Decoded expanded = decode(ContentDecoder::Coding::Gzip, bomb, bomb.size(), 65536);
  EXPECT_EQ(expanded.text.size(), zeros.size());
  EXPECT_LE(expanded.largestPortion, 65536u);

  std::string corrupt = test::compressed("<p>hello, this is a page</p>", 31);
  corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x55);
  EXPECT_FALSE(decode(ContentDecoder::Coding::Gzip, corrupt, 3, 100).ok);
  EXPECT_FALSE(decode(ContentDecoder::Coding::Gzip, "not compressed at all", 5, 100).ok);

  const std::string whole = test::compressed("<p>a page cut short</p>", 31);
  const Decoded truncated = decode(ContentDecoder::Coding::Gzip, whole.substr(0, whole.size() - 6), 4, 100);
  EXPECT_TRUE(truncated.ok);
  EXPECT_FALSE(truncated.complete);
}

TEST(ContentDecoderTest, KnowsTheCodingsItReads) {
  using Coding = ContentDecoder::Coding;
  EXPECT_EQ(ContentDecoder::codingOf("gzip"), Coding::Gzip);
  EXPECT_EQ(ContentDecoder::codingOf(" X-GZIP "), Coding::Gzip);
  EXPECT_EQ(ContentDecoder::codingOf("Deflate"), Coding::Deflate);
  for (const char* other : {"br", "compress", "zstd", "gzip, br", "identity", ""}) {
    EXPECT_FALSE(ContentDecoder::codingOf(other).has_value()) << other;
  }
  EXPECT_TRUE(ContentDecoder::isIdentity(" Identity"));
}

}  // namespace
}  // namespace nimbuswatch::server
