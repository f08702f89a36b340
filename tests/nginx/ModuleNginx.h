// Debian's nginx with the nimbuswatch module loaded, run the way the tests
// run nginx elsewhere: in the foreground on a free loopback port, with a
// configuration of the test's own in a temporary prefix, stopped with the
// object.
#pragma once

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace nimbuswatch::test {

inline const std::string kModule = NIMBUSWATCH_NGINX_MODULE;
inline const std::string kNginx = "/usr/sbin/nginx";

struct ModuleConfig {
  std::string settings;      // nimbuswatch_config; empty: the directive is left out
  int workers = 0;           // worker processes under a master; 0: one process, no master
  std::string http;          // more directives in the http block
  std::string server;        // more directives in the server block, after "nimbuswatch on"
  bool tls = false;          // HTTPS with HTTP/2, on a self-signed certificate
  std::string logLevel = "warn";
};

// The nginx.conf for `config` serving `root` under `prefix` on `port`.
std::string moduleConfigText(const std::string& prefix, const std::string& root, unsigned short port,
                             const ModuleConfig& config);

class ModuleNginx {
 public:
  ModuleNginx(const std::string& root, ModuleConfig config);
  // Stops nginx; the test fails when its error log holds an alert or worse.
  ~ModuleNginx();
  ModuleNginx(const ModuleNginx&) = delete;
  ModuleNginx& operator=(const ModuleNginx&) = delete;

  unsigned short port() const { return listenPort; }
  std::string url(const std::string& path) const;
  std::string errorLog() const { return readFile(prefix.file("error.log")); }
  pid_t master() const { return child->pid(); }
  // The processes nginx's master has running now.
  std::vector<pid_t> workers() const;
  // "nginx -s NAME" on this configuration.
  ProgramResult signal(const std::string& name) const;
  std::string configFile() const { return prefix.file("nginx.conf"); }

 private:
  TempDir prefix;
  unsigned short listenPort = 0;
  bool secure = false;
  std::unique_ptr<ChildProcess> child;
};

// "nginx -t" on a configuration that loads the module and turns it on with
// the settings file `settings` (none given when empty).
ProgramResult testConfiguration(const std::string& settings);

// curl's result with `arguments`, HTTPS certificates not checked.
ProgramResult fetch(std::vector<std::string> arguments);

}  // namespace nimbuswatch::test
