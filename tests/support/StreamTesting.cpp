#include "support/StreamTesting.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

namespace nimbuswatch::test {

Blocks cutAt(std::string_view text, const std::vector<std::size_t>& cuts) {
  Blocks blocks;
  std::size_t start = 0;
  for (std::size_t cut : cuts) {
    blocks.push_back(text.substr(start, cut - start));
    start = cut;
  }
  blocks.push_back(text.substr(start));
  return blocks;
}

Blocks byteByByte(std::string_view text) {
  Blocks blocks;
  for (std::size_t i = 0; i < text.size(); ++i) {
    blocks.push_back(text.substr(i, 1));
  }
  return blocks;
}

Blocks randomBlocks(std::string_view text, std::mt19937& random, std::size_t maxBlocks) {
  std::uniform_int_distribution<std::size_t> count(1, std::max<std::size_t>(maxBlocks, 1));
  std::uniform_int_distribution<std::size_t> offset(0, text.size());
  std::vector<std::size_t> cuts(count(random) - 1);
  for (std::size_t& cut : cuts) {
    cut = offset(random);
  }
  std::sort(cuts.begin(), cuts.end());
  return cutAt(text, cuts);
}

void forEachCutting(std::string_view text, const Cuttings& cuttings, const std::function<bool(const Blocks&)>& check) {
  if (!check({text}) || !check(byteByByte(text))) {
    return;
  }
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (!check(cutAt(text, {i}))) {
      return;
    }
  }
  for (std::size_t i = 0; cuttings.threeBlocks && i <= text.size(); ++i) {
    for (std::size_t j = i; j <= text.size(); ++j) {
      if (!check(cutAt(text, {i, j}))) {
        return;
      }
    }
  }
  for (int round = 0; cuttings.random != nullptr && round < cuttings.randomRounds; ++round) {
    if (!check(randomBlocks(text, *cuttings.random, cuttings.maxRandomBlocks))) {
      return;
    }
  }
}

std::uint32_t testSeed() {
  std::uint32_t seed = std::random_device{}();
  if (const char* forced = std::getenv("NIMBUSWATCH_TEST_SEED")) {
    seed = static_cast<std::uint32_t>(std::strtoul(forced, nullptr, 10));
  }
  std::cout << "NIMBUSWATCH_TEST_SEED=" << seed << std::endl;
  return seed;
}

std::string describeCuts(const Blocks& blocks) {
  if (blocks.size() > 3 && std::all_of(blocks.begin(), blocks.end(), [](auto block) { return block.size() == 1; })) {
    return "byte by byte";
  }
  std::string text;
  std::size_t offset = 0;
  for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
    offset += blocks[i].size();
    text += (i == 0 ? "" : ",") + std::to_string(offset);
  }
  return text.empty() ? "one block" : "cuts " + text;
}

std::optional<std::string> decodeChunked(std::string_view body, std::size_t* chunkCount) {
  std::string data;
  std::size_t chunks = 0;
  while (true) {
    const std::size_t lineEnd = body.find("\r\n");
    const bool leadingZero = lineEnd > 1 && body[0] == '0';
    if (lineEnd == std::string_view::npos || lineEnd == 0 || lineEnd > 8 || leadingZero) {
      return std::nullopt;
    }
    std::size_t size = 0;
    for (char digit : body.substr(0, lineEnd)) {
      const bool lowerHex = (digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f');
      if (!lowerHex) {
        return std::nullopt;
      }
      size = size * 16 + static_cast<std::size_t>(digit <= '9' ? digit - '0' : digit - 'a' + 10);
    }
    body.remove_prefix(lineEnd + 2);
    if (size == 0) {
      if (body != "\r\n" || lineEnd != 1) {
        return std::nullopt;
      }
      break;
    }
    if (body.size() < size + 2 || body.substr(size, 2) != "\r\n") {
      return std::nullopt;
    }
    data.append(body.substr(0, size));
    body.remove_prefix(size + 2);
    ++chunks;
  }
  if (chunkCount != nullptr) {
    *chunkCount = chunks;
  }
  return data;
}

}  // namespace nimbuswatch::test
