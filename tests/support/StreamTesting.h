// Helpers for feeding a stream in blocks: every way of cutting an input, a
// random cutting whose seed can be replayed, and a strict reader of a chunked
// body, so tests can check that output does not depend on where the blocks end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace nimbuswatch::test {

using Blocks = std::vector<std::string_view>;

// `text` cut at the given ascending offsets: one cut gives two blocks.
Blocks cutAt(std::string_view text, const std::vector<std::size_t>& cuts);

// One block per byte.
Blocks byteByByte(std::string_view text);

// `text` cut into between 1 and `maxBlocks` blocks at random offsets (empty
// blocks included).
Blocks randomBlocks(std::string_view text, std::mt19937& random, std::size_t maxBlocks);

// The seed of a randomised pass: NIMBUSWATCH_TEST_SEED when it is set, else a
// fresh one. Printed either way, so a failure can be replayed.
std::uint32_t testSeed();

// The ways of cutting a stream a split test goes through: always the whole
// text, every cut into two blocks and one byte per block; on request every
// cut into three blocks (quadratic in the length, for short texts) and
// random cuttings drawn from `random`.
struct Cuttings {
  bool threeBlocks = false;
  int randomRounds = 0;
  std::mt19937* random = nullptr;
  std::size_t maxRandomBlocks = 16;
};

// Calls `check` with `text` cut in each of the ways `cuttings` asks for,
// until it returns false.
void forEachCutting(std::string_view text, const Cuttings& cuttings, const std::function<bool(const Blocks&)>& check);

// The offsets as "a,b,c" for failure messages.
std::string describeCuts(const Blocks& blocks);

// The data of a chunked body that must end with exactly one last chunk
// ("0\r\n\r\n", no extensions, no trailer) and hold no other empty chunk;
// nothing when the framing is not that. `chunkCount` receives the number of
// chunks before the last one.
std::optional<std::string> decodeChunked(std::string_view body, std::size_t* chunkCount = nullptr);

}  // namespace nimbuswatch::test
