#include "core/Process.h"

namespace nimbuswatch {

ProcessValues& processValues() {
  static ProcessValues instance;
  return instance;
}

}  // namespace nimbuswatch
