// The nginx module's C++ side without nginx: the chunked framing of the
// filter's output taken apart at every cut, and the head the filter emitted
// turned into changes to the fields nginx keeps.
#include "modules/nginx/ChunkReader.h"
#include "modules/nginx/HeadChanges.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nimbuswatch::nginx {
namespace {

// Reads `framed` cut at `cut`, into output room of `room` bytes at a time.
std::string readCut(const std::string& framed, std::size_t cut, std::size_t room, ChunkReader& reader) {
  std::string data;
  std::vector<char> out(room);
  for (std::string_view piece : {std::string_view(framed).substr(0, cut), std::string_view(framed).substr(cut)}) {
    while (!piece.empty() && !reader.done() && !reader.broken()) {
      std::size_t written = 0;
      piece.remove_prefix(reader.read(piece, out.data(), room, written));
      data.append(out.data(), written);
    }
  }
  return data;
}

TEST(ChunkReaderTest, GivesTheDataOfEveryChunkAtEveryCut) {
  struct Case {
    const char* framed;
    const char* data;
  };
  const Case cases[] = {
      {"5\r\nhello\r\n0\r\n\r\n", "hello"},
      {"3\r\nabc\r\n1a\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n", "abcabcdefghijklmnopqrstuvwxyz"},
      {"4;name=value\r\n\r\n\n\r\r\n0\r\nTrailer: x\r\n\r\n", "\r\n\n\r"},  // extension, data like line ends, trailer
      {"A\r\n0123456789\r\n0\r\n\r\n", "0123456789"},
  };
  for (const Case& c : cases) {
    const std::string framed = c.framed;
    for (std::size_t cut = 0; cut <= framed.size(); ++cut) {
      for (std::size_t room : {std::size_t{1}, std::size_t{4}, std::size_t{64}}) {
        ChunkReader reader;
        EXPECT_EQ(readCut(framed, cut, room, reader), c.data) << c.framed << " cut at " << cut << " room " << room;
        EXPECT_TRUE(reader.done()) << c.framed << " cut at " << cut;
      }
    }
  }
}

TEST(ChunkReaderTest, StopsAtTheEndAndAtFramingItCannotRead) {
  ChunkReader reader;
  char out[16];
  std::size_t written = 0;
  const std::string framed = "2\r\nok\r\n0\r\n\r\nnext response";
  EXPECT_EQ(reader.read(framed, out, sizeof out, written), framed.find("next"));
  EXPECT_EQ(std::string(out, written), "ok");
  EXPECT_TRUE(reader.done());

  for (const char* bad : {"zz\r\n", "\r\n", "11111111111111111\r\n"}) {
    ChunkReader broken;
    broken.read(bad, out, sizeof out, written);
    EXPECT_TRUE(broken.broken()) << bad;
    EXPECT_EQ(written, 0u) << bad;
  }
}

TEST(HeadChangesTest, ReadsTheEmittedFields) {
  const auto fields = headFields("HTTP/1.1 200 OK\r\nA: 1\r\nB:two  \r\n\r\n");
  ASSERT_TRUE(fields);
  ASSERT_EQ(fields->size(), 2u);
  EXPECT_EQ((*fields)[1].name, "B");
  EXPECT_EQ((*fields)[1].value, "two");
  EXPECT_FALSE(headFields("HTTP/1.1 200 OK\r\nno colon\r\n\r\n"));
}

TEST(HeadChangesTest, NamesWhatBecameOfEachGivenFieldAndWhatWasAdded) {
  using Kind = FieldFate::Kind;
  const server::Fields given{{"Content-Type", "text/html"}, {"Content-Length", "1913"}, {"ETag", "\"6b-779\""},
                             {"Set-Cookie", "a=1"},        {"Set-Cookie", "b=2"},      {"Accept-Ranges", "bytes"}};
  // The filter's head for a rewritten page to an HTTP/1.1 client.
  const server::Fields emitted{{"content-type", "text/html"}, {"ETag", "W/\"6b-779\""}, {"Set-Cookie", "a=1"},
                               {"Set-Cookie", "b=2"},         {"Transfer-Encoding", "chunked"},
                               {"Connection", "close"},       {"X-Powered-By", "nimbuswatch/1.0"}};
  const HeadChanges changes = compareHeads(given, emitted);
  const std::vector<Kind> expected{Kind::Kept, Kind::Removed, Kind::Changed, Kind::Kept, Kind::Kept, Kind::Removed};
  ASSERT_EQ(changes.given.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(changes.given[i].kind, expected[i]) << given[i].name;
  }
  EXPECT_EQ(changes.given[2].value, "W/\"6b-779\"");
  ASSERT_EQ(changes.added.size(), 1u);
  EXPECT_EQ(changes.added[0].name, "X-Powered-By");
}

}  // namespace
}  // namespace nimbuswatch::nginx
