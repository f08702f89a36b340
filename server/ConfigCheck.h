// The check of the filter's configuration before the host serves with it.
// The filter takes a setting it cannot read as empty, and would then write
// its spool files into the working directory and point pages at relative
// picture addresses; the host refuses such a configuration instead.
#pragma once

#include <string>
#include <vector>

namespace nimbuswatch::server {

struct ConfigReport {
  std::string file;      // the registry export checked, as it may be logged
  std::string encoding;  // "UTF-8" or "UTF-16LE" once it could be read
  std::string spoolDir;  // the settings as found, empty when missing
  std::string imagesDir;
  std::string fontsDir;
  std::string imagesUrl;
  std::vector<std::string> fonts;     // the *.ttf files in FontsDir, sorted
  // The faces the filter catalogues there: "family: Style (file), ...",
  // one line per family in the filter's order; and the fallback's face.
  std::vector<std::string> families;
  std::string fallback;  // "times.ttf: liberation serif Regular", once readable
  std::string logFile;
  std::string defaultFace;
  std::vector<std::string> problems;  // one clause each ("it" is the file); none: usable
};

// Checks the registry export the filter reads (NIMBUSWATCH_REGISTRY, or the
// default): a file of at most 16 MiB, UTF-8 or UTF-16LE with its byte-order
// mark, that begins as an export does; SpoolDir and ImagesDir existing
// writable directories, FontsDir an existing directory holding a readable
// TrueType times.ttf, each of the three ending with "/"; ImagesURL beginning
// and ending with "/". A file that cannot be read is the only problem
// reported about it.
ConfigReport checkConfig();

// What the report found, as lines for an administrator: the file and its
// encoding, the directories, the URL, the fonts by family and style, and
// the fallback.
std::string reportText(const ConfigReport& report);

// The problems as one line: "what; what; ...".
std::string problemLine(const ConfigReport& report);

}  // namespace nimbuswatch::server
