// Image requests on one thread: drawing a typical element (about 20
// characters at 16 points) into GIF bytes, the first request of an image URL
// (spool read, drawing, GIF written and renamed into place) and a request
// whose GIF is already there. Settings, catalogue, log and trace are real
// files in a temporary directory, as the filter has them. The reference is
// Pillow drawing the same pictures (bench/pillow-reference); the program
// ends with the ratio of first requests to Pillow's pictures.
#include "CoreRequestHandler/CoreRequestHandler.h"
#include "Logger/Logger.h"
#include "Settings/Settings.h"
#include "SpoolStorage/SpoolStorage.h"
#include "core/Process.h"
#include "platform/Registry.h"

#include <benchmark/benchmark.h>
#include <gd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace nimbuswatch::bench {
namespace {

namespace fs = std::filesystem;

const std::string kLiberation = "/usr/share/fonts/truetype/liberation/";
// The font and size of typicalElement, for the reference.
const std::string kTypicalFont = kLiberation + "LiberationSerif-Regular.ttf";
constexpr int kTypicalPoints = 16;

// Elements as a page writes them: same font, size and colour, a different
// address each.
ElementRecord typicalElement(int number) {
  char text[32];
  std::snprintf(text, sizeof text, "user%05d@example.org", number);
  ElementRecord record;
  record.name = "textimage";
  record.text = text;
  record.attributes = {{"color", "navy"}, {"font", "\"liberation serif\""}, {"size", "16"}};
  return record;
}

class Environment {
 public:
  static Environment& get() {
    static Environment environment;
    return environment;
  }

  // The URLs of `count` elements stored now and never requested before.
  std::vector<std::string> newElements(int count) {
    std::vector<std::string> urls;
    for (int i = 0; i < count; ++i) {
      urls.push_back(kImagesURL + spool->store(describeElement(typicalElement(elementsStored++))) + ".gif");
    }
    return urls;
  }

  static constexpr const char* kImagesURL = "/textimages/";

 private:
  Environment() {
    std::string pattern = (fs::temp_directory_path() / "nimbuswatch-image-bench-XXXXXX").string();
    root = ::mkdtemp(pattern.data()) != nullptr ? pattern + "/" : std::string("./");
    for (const char* folder : {"fonts", "images", "spool"}) fs::create_directory(root + folder);
    for (const char* style : {"Regular", "Bold", "Italic", "BoldItalic"}) {
      const std::string name = std::string("LiberationSerif-") + style + ".ttf";
      fs::create_symlink(kLiberation + name, root + "fonts/" + name);
    }
    fs::copy_file(kLiberation + "LiberationSerif-Regular.ttf", root + "fonts/times.ttf");
    std::ofstream(root + "nimbuswatch.reg", std::ios::binary)
        << platform::registryExport({{"FontsDir", root + "fonts/"}});
    ::setenv("NIMBUSWATCH_REGISTRY", (root + "nimbuswatch.reg").c_str(), 1);
    ::setenv("TMPDIR", root.c_str(), 1);  // the settings' trace file

    gdFontCacheSetup();
    settings = std::make_unique<Settings>();
    logger = std::make_unique<Logger>(root + "nimbuswatch.log");
    spool = std::make_unique<SpoolStorage>(root + "spool/");
    setProcessLogger(logger.get());
    ProcessValues& values = processValues();
    values.settings = settings.get();
    values.spool = spool.get();
    values.imagesURL = kImagesURL;
    values.imagesDir = root + "images/";
    values.fontsDir = root + "fonts/";
  }
  ~Environment() {
    processValues() = ProcessValues{};
    setProcessLogger(nullptr);
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  std::string root;
  int elementsStored = 0;
  std::unique_ptr<Settings> settings;
  std::unique_ptr<Logger> logger;
  std::unique_ptr<SpoolStorage> spool;
};

// The drawing alone: record to GIF bytes in memory.
void BM_DrawTypicalElement(benchmark::State& state) {
  Environment::get();
  int number = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    CoreRequestHandler handler("", processValues().imageSettings(), std::make_unique<ElementRecord>(typicalElement(number++)));
    const GifBytes gif = handler.renderGif();
    bytes += gif.size();
    benchmark::DoNotOptimize(gif.data());
  }
  state.counters["pictures/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["GIF bytes"] = double(bytes) / double(state.iterations());
}
BENCHMARK(BM_DrawTypicalElement);

// The first request of each URL: the GIF is missing and gets drawn. Files
// are only ever added, as in the images directory of a running server
// (deleting thousands of files would make the file system's inode
// allocation, not the request, the cost measured).
void BM_FirstRequest(benchmark::State& state) {
  Environment& environment = Environment::get();
  std::vector<std::string> urls;
  std::size_t next = 0;
  for (auto _ : state) {
    if (next == urls.size()) {
      state.PauseTiming();
      urls = environment.newElements(1000);
      next = 0;
      state.ResumeTiming();
    }
    handleImageRequest(urls[next++].c_str(), processValues().imageSettings());
  }
  state.counters["requests/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FirstRequest);

// A request whose GIF is in the images directory: nothing is drawn.
void BM_CacheHit(benchmark::State& state) {
  Environment& environment = Environment::get();
  const std::string url = environment.newElements(1).front();
  handleImageRequest(url.c_str(), processValues().imageSettings());
  for (auto _ : state) {
    handleImageRequest(url.c_str(), processValues().imageSettings());
  }
  state.counters["requests/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CacheHit);

// Pillow drawing 500 such pictures per iteration in a Python process of its
// own, timed by itself.
void BM_PillowReference(benchmark::State& state) {
  constexpr int kPictures = 500;
  const std::string command = std::string(NIMBUSWATCH_BENCH_DIR "/pillow-reference ") + kTypicalFont + " " +
                              std::to_string(kTypicalPoints) + " " + std::to_string(kPictures);
  std::int64_t pictures = 0;
  for (auto _ : state) {
    std::FILE* reference = ::popen(command.c_str(), "r");
    double rate = 0;
    const bool read = reference != nullptr && std::fscanf(reference, "%lf", &rate) == 1;
    if (reference != nullptr) {
      ::pclose(reference);
    }
    if (!read || rate <= 0) {
      state.SkipWithError("bench/pillow-reference failed: is Pillow there (scripts/install-deps --bench)?");
      break;
    }
    state.SetIterationTime(kPictures / rate);
    pictures += kPictures;
  }
  state.counters["pictures/s"] = benchmark::Counter(double(pictures), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PillowReference)->UseManualTime()->Iterations(3);

// Shows every run as the console does and keeps the rate each benchmark
// reported: its median when repeated.
class RateKeeper : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    benchmark::ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.error_occurred || !(single || median)) {
        continue;
      }
      for (const char* counter : {"requests/s", "pictures/s"}) {
        if (const auto found = run.counters.find(counter); found != run.counters.end()) {
          rates[run.run_name.function_name] = found->second.value;
        }
      }
    }
  }

  void printRatio() const {
    const auto first = rates.find("BM_FirstRequest");
    const auto pillow = rates.find("BM_PillowReference");
    if (first == rates.end() || pillow == rates.end() || pillow->second <= 0) {
      return;
    }
    std::printf("first requests %.0f/s, Pillow %.0f pictures/s: %.2f x Pillow (target: at least 2)\n",
                first->second, pillow->second, first->second / pillow->second);
  }

 private:
  std::map<std::string, double> rates;
};

}  // namespace
}  // namespace nimbuswatch::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  nimbuswatch::bench::RateKeeper reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatio();
  benchmark::Shutdown();
  return 0;
}
