#include "host/config/ExampleSite.h"

#include "platform/Registry.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <initializer_list>

namespace nimbuswatch::host {

namespace fs = std::filesystem;

namespace {

struct FontSource {
  const char* directory;
  std::initializer_list<const char*> files;
};

// The faces the example pages use. The catalogue knows them by family and
// style; the file names are lower case, since the filter lower-cases a family
// before it becomes a file name and Linux file names are case-sensitive.
const FontSource kFonts[] = {
    {"/usr/share/fonts/truetype/liberation/",
     {"LiberationSerif-Regular.ttf", "LiberationSerif-Bold.ttf", "LiberationSerif-Italic.ttf",
      "LiberationSerif-BoldItalic.ttf", "LiberationSans-Regular.ttf", "LiberationSans-Bold.ttf",
      "LiberationSans-Italic.ttf", "LiberationSans-BoldItalic.ttf", "LiberationMono-Regular.ttf",
      "LiberationMono-Bold.ttf"}},
    {"/usr/share/fonts/truetype/dejavu/", {"DejaVuSans.ttf", "DejaVuSans-Bold.ttf", "DejaVuSerif.ttf"}},
};

// The fallback font every fonts directory must hold.
constexpr const char* kFallbackSource = "/usr/share/fonts/truetype/liberation/LiberationSerif-Regular.ttf";

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A link to `source` named `name` in `directory`, unless one is there.
std::string linkFont(const fs::path& source, const fs::path& target) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(target, ec))) {
    return {};
  }
  if (!fs::exists(source, ec)) {
    return "the font " + source.string() + " is missing (run scripts/install-deps)";
  }
  fs::create_symlink(source, target, ec);
  return ec ? "cannot link " + target.string() + ": " + ec.message() : std::string();
}

std::string writeConfig(const fs::path& state, const std::string& file) {
  const std::string dir = state.string() + "/";
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << platform::registryExport({{"LogFile", dir + "nimbuswatch.log"},
                                   {"ImagesDir", dir + "images/"},
                                   {"FontsDir", dir + "fonts/"},
                                   {"SpoolDir", dir + "spool/"},
                                   {"ImagesURL", "/textimages/"},
                                   {"DefaultFontFace", "Liberation Serif"},
                                   {"DefaultFontSize", "16"}});
  out.close();
  return out ? std::string() : "cannot write " + file;
}

}  // namespace

std::string defaultStateDir() { return NIMBUSWATCH_SOURCE_DIR "/state"; }

std::string prepareExampleSite(const std::string& stateDir, ExampleSite& site) {
  std::error_code ec;
  const fs::path state = fs::absolute(stateDir, ec);
  for (const char* sub : {"fonts", "spool", "images"}) {
    fs::create_directories(state / sub, ec);
    if (ec) {
      return "cannot make " + (state / sub).string() + ": " + ec.message();
    }
  }
  for (const FontSource& source : kFonts) {
    for (const char* file : source.files) {
      if (std::string error = linkFont(fs::path(source.directory) / file, state / "fonts" / lowerCase(file));
          !error.empty()) {
        return error;
      }
    }
  }
  if (std::string error = linkFont(kFallbackSource, state / "fonts" / "times.ttf"); !error.empty()) {
    return error;
  }
  site.root = NIMBUSWATCH_SOURCE_DIR "/examples/site";
  site.configFile = (state / "nimbuswatch.reg").string();
  return writeConfig(state, site.configFile);
}

}  // namespace nimbuswatch::host
