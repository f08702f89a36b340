#include "SpoolStorage/SpoolStorage.h"
#include "platform/Digest.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace nimbuswatch {
namespace {

using test::exists;
using test::listDirectory;
using test::ProcessFixture;
using test::readFile;

TEST(SpoolStorageTest, IdentifierIsTheMd5OfTheTextInLowerCaseHex) {
  ProcessFixture fixture;
  SpoolStorage spool(fixture.spoolDir());
  EXPECT_EQ(spool.store("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(spool.store(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(readFile(fixture.spoolDir() + "900150983cd24fb0d6963f7d28e17f72"), "abc");
  // The empty text is an empty file; loading it gives the empty text.
  EXPECT_TRUE(exists(fixture.spoolDir() + "d41d8cd98f00b204e9800998ecf8427e"));
  EXPECT_EQ(spool.load("d41d8cd98f00b204e9800998ecf8427e"), "");
}

TEST(SpoolStorageTest, EveryByteComesBackUnchanged) {
  ProcessFixture fixture;
  SpoolStorage spool(fixture.spoolDir());
  std::string text;
  for (int i = 0; i < 256; ++i) {
    text += static_cast<char>(i);
  }
  text += std::string("\0\r\n\r\xff\x80", 6);
  const std::string identifier = spool.store(text);
  ASSERT_EQ(identifier.size(), 32u);
  const std::string loaded = spool.load(identifier);
  EXPECT_EQ(loaded.size(), text.size());
  EXPECT_EQ(loaded, text);
  EXPECT_EQ(readFile(fixture.spoolDir() + identifier), text);
}

TEST(SpoolStorageTest, OneFilePerDistinctTextAndNoTemporaryLeftBehind) {
  ProcessFixture fixture;
  SpoolStorage spool(fixture.spoolDir());
  const std::string a = spool.store("element a");
  const std::string b = spool.store("element b");
  EXPECT_NE(a, b);
  EXPECT_EQ(spool.store("element a"), a);
  EXPECT_EQ(listDirectory(fixture.spoolDir()).size(), 2u);
  EXPECT_EQ(spool.load(a), "element a");
  EXPECT_EQ(spool.load(b), "element b");
}

TEST(SpoolStorageTest, UnwritableDirectoryGivesAnEmptyIdentifierAndAWarning) {
  ProcessFixture fixture;
  SpoolStorage spool(fixture.dir().path() + "no-such-dir/");
  EXPECT_EQ(spool.store("text"), "");
  EXPECT_EQ(fixture.logMessages(),
            (std::vector<std::string>{"warning: .\\src\\SpoolStorage:27 writing spool file: No such file or directory"}));
}

TEST(SpoolStorageTest, MissingIdentifierLoadsAsEmptyWithoutLogging) {
  ProcessFixture fixture;
  SpoolStorage spool(fixture.spoolDir());
  EXPECT_EQ(spool.load("0123456789abcdef0123456789abcdef"), "");
  EXPECT_TRUE(fixture.logMessages().empty());
}

TEST(SpoolStorageTest, IdentifiersThatLeaveTheSpoolDirectoryAreRefused) {
  ProcessFixture fixture;
  test::writeFile(fixture.dir().file("secret"), "outside the spool");
  SpoolStorage spool(fixture.spoolDir());
  const std::vector<std::string> refused = {"../secret", "sub/x", "..\\secret", "c:secret",
                                            std::string("abc\0def", 7), ".."};
  for (const std::string& identifier : refused) {
    EXPECT_EQ(spool.load(identifier), "") << identifier;
  }
  const auto messages = fixture.logMessages();
  ASSERT_EQ(messages.size(), refused.size());
  EXPECT_NE(messages[0].find("warning: .\\src\\SpoolStorage:"), std::string::npos);
  EXPECT_NE(messages[0].find("[../secret]"), std::string::npos);
  EXPECT_NE(messages[3].find("[c:secret]"), std::string::npos);
}

TEST(SpoolStorageTest, EmptyDirectoryMeansTheCurrentDirectory) {
  ProcessFixture fixture;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(fixture.spoolDir());
  SpoolStorage spool("");
  const std::string identifier = spool.store("here");
  const std::string loaded = spool.load(identifier);
  std::filesystem::current_path(previous);
  EXPECT_EQ(loaded, "here");
  EXPECT_EQ(readFile(fixture.spoolDir() + identifier), "here");
}

TEST(SpoolStorageTest, ConcurrentStoresOfOneTextLeaveOneCorrectFile) {
  ProcessFixture fixture;
  SpoolStorage spool(fixture.spoolDir());
  const std::string text(256 * 1024, 'q');
  std::vector<std::thread> threads;
  std::vector<std::string> identifiers(8);
  for (std::size_t t = 0; t < identifiers.size(); ++t) {
    threads.emplace_back([&, t] { identifiers[t] = spool.store(text); });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (const std::string& identifier : identifiers) {
    EXPECT_EQ(identifier, identifiers[0]);
  }
  EXPECT_EQ(listDirectory(fixture.spoolDir()), std::vector<std::string>{identifiers[0]});
  EXPECT_EQ(readFile(fixture.spoolDir() + identifiers[0]), text);
}

TEST(SpoolStorageTest, ALoadDuringAStoreSeesNothingOrTheWholeText) {
  ProcessFixture fixture;
  SpoolStorage spool(fixture.spoolDir());
  for (int round = 0; round < 20; ++round) {
    const std::string text(512 * 1024, static_cast<char>('a' + round));
    const std::string identifier = platform::md5Hex(text);
    std::atomic<bool> stored{false};
    std::thread writer([&] {
      spool.store(text);
      stored = true;
    });
    bool seenWhole = false;
    while (!seenWhole) {
      const bool finished = stored;
      const std::string loaded = spool.load(identifier);
      ASSERT_TRUE(loaded.empty() || loaded == text) << "partial read of " << loaded.size() << " bytes";
      seenWhole = !loaded.empty();
      ASSERT_TRUE(seenWhole || !finished);
    }
    writer.join();
  }
}

}  // namespace
}  // namespace nimbuswatch

namespace nimbuswatch {
namespace {

TEST(SpoolStorageTest, AFileRemovedByHandIsWrittenAgainOnceTheRecheckTimeHasPassed) {
  test::ProcessFixture fixture;
  SpoolStorage spool(fixture.spoolDir(), std::chrono::milliseconds(0));
  const std::string identifier = spool.store("element");
  ASSERT_TRUE(test::exists(fixture.spoolDir() + identifier));
  std::filesystem::remove(fixture.spoolDir() + identifier);
  EXPECT_EQ(spool.store("element"), identifier);
  EXPECT_EQ(test::readFile(fixture.spoolDir() + identifier), "element");
}

// What the spool tells of how long it trusts a file bounds what callers
// remember beside it: a file seen a moment ago is trusted until the recheck
// time after it was first seen, not after the later store; with no recheck
// time, or nothing stored, the moment is already past.
TEST(SpoolStorageTest, AStoredFileIsTrustedUntilTheRecheckTimeAfterItWasSeen) {
  test::ProcessFixture fixture;
  SpoolStorage spool(fixture.spoolDir(), std::chrono::seconds(60));
  const SpoolStorage::Stored first = spool.storeTrusted("element");
  EXPECT_GT(first.trustedUntil, SpoolStorage::Clock::now() + std::chrono::seconds(59));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const SpoolStorage::Stored again = spool.storeTrusted("element");
  EXPECT_EQ(again.identifier, first.identifier);
  EXPECT_EQ(again.trustedUntil, first.trustedUntil);

  SpoolStorage untrusting(fixture.spoolDir(), std::chrono::milliseconds(0));
  const SpoolStorage::Stored unchecked = untrusting.storeTrusted("element");
  EXPECT_EQ(unchecked.identifier, first.identifier);
  EXPECT_LE(unchecked.trustedUntil, SpoolStorage::Clock::now());

  SpoolStorage broken(fixture.dir().path() + "missing/");
  const SpoolStorage::Stored failed = broken.storeTrusted("element");
  EXPECT_EQ(failed.identifier, "");
  EXPECT_LE(failed.trustedUntil, SpoolStorage::Clock::now());
}

TEST(SpoolStorageTest, WhatOneDirectoryHoldsSaysNothingAboutAnother) {
  test::ProcessFixture fixture;
  const std::string other = fixture.dir().path() + "other/";
  std::filesystem::create_directory(other);
  // The same object place, two directories: the second must get its own file.
  std::optional<SpoolStorage> spool;
  spool.emplace(fixture.spoolDir());
  const std::string identifier = spool->store("shared text");
  spool.emplace(other);
  EXPECT_EQ(spool->store("shared text"), identifier);
  EXPECT_EQ(test::readFile(other + identifier), "shared text");
}

}  // namespace
}  // namespace nimbuswatch
