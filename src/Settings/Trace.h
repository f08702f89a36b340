// The start-up trace: the settings and the font catalogue run before the
// logger exists, so they report progress and errors in a file of their own.
#pragma once

#include <string>

namespace nimbuswatch {

// Appends "<text> \n" to the trace file. The file is opened ("ab") and
// closed for every line, so lines from several threads stay whole and the
// file grows across starts. A file that cannot be opened drops the line.
void traceLine(const std::string& text);

}  // namespace nimbuswatch
