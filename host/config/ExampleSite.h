// The host's embedded default: the bundled example site, with a filter
// configuration whose directories live under a state directory that is made
// on first use (fonts from Debian's Liberation and DejaVu packages, spool,
// images, log and the .reg file itself).
#pragma once

#include <string>

namespace nimbuswatch::host {

struct ExampleSite {
  std::string root;        // the site's files
  std::string configFile;  // the .reg file written into the state directory
};

// Lays out `stateDir` (creating what is missing) and writes its .reg file.
// Returns the error line, or the empty string.
std::string prepareExampleSite(const std::string& stateDir, ExampleSite& site);

// The state directory used when none is given: state/ in the checkout.
std::string defaultStateDir();

}  // namespace nimbuswatch::host
