#include "ModuleNginx.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace nimbuswatch::test {

namespace {

// A self-signed certificate for localhost, made once per test program.
const TempDir& certificate() {
  static const TempDir dir;
  static const ProgramResult made = runProgram(
      "openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                  "-keyout", dir.file("key.pem"), "-out", dir.file("cert.pem")});
  if (made.exitCode != 0) {
    throw std::runtime_error("openssl cannot make a certificate: " + made.errors);
  }
  return dir;
}

std::string listenLine(unsigned short port, bool tls) {
  std::string line = "    listen 127.0.0.1:" + std::to_string(port);
  if (!tls) {
    return line + ";\n";
  }
  return line + " ssl http2;\n    ssl_certificate " + certificate().file("cert.pem") + ";\n" +
         "    ssl_certificate_key " + certificate().file("key.pem") + ";\n";
}

pid_t parentOf(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  std::getline(stat, line);
  // pid (comm) state ppid ...: the name may hold spaces, its end does not.
  const std::size_t end = line.rfind(')');
  if (end == std::string::npos) {
    return -1;
  }
  std::istringstream rest(line.substr(end + 2));
  std::string state;
  pid_t parent = -1;
  rest >> state >> parent;
  return parent;
}

}  // namespace

std::string moduleConfigText(const std::string& prefix, const std::string& root, unsigned short port,
                             const ModuleConfig& config) {
  std::string text = "load_module " + kModule + ";\ndaemon off;\n";
  text += config.workers > 0 ? "master_process on;\nworker_processes " + std::to_string(config.workers) + ";\n"
                             : "master_process off;\n";
  if (::geteuid() == 0) {
    text += "user root;\n";
  }
  text += "pid " + prefix + "nginx.pid;\nerror_log " + prefix + "error.log " + config.logLevel + ";\n" +
          "events { worker_connections 1024; }\nhttp {\n" +
          "  include /etc/nginx/mime.types;\n  default_type application/octet-stream;\n" +
          "  access_log " + prefix + "access.log;\n  sendfile on;\n" +
          "  client_body_temp_path " + prefix + "body;\n  proxy_temp_path " + prefix + "proxy;\n" +
          "  fastcgi_temp_path " + prefix + "fastcgi;\n  uwsgi_temp_path " + prefix + "uwsgi;\n" +
          "  scgi_temp_path " + prefix + "scgi;\n";
  if (!config.settings.empty()) {
    text += "  nimbuswatch_config " + config.settings + ";\n";
  }
  text += config.http + "\n  server {\n" + listenLine(port, config.tls) + "    root " + root + ";\n" +
          "    nimbuswatch on;\n" + config.server + "\n  }\n}\n";
  return text;
}

ModuleNginx::ModuleNginx(const std::string& root, ModuleConfig config) : secure(config.tls) {
  listenPort = freeLoopbackPort();
  writeFile(configFile(), moduleConfigText(prefix.path(), root, listenPort, config));
  child = std::make_unique<ChildProcess>(
      kNginx, std::vector<std::string>{"-p", prefix.path(), "-c", configFile(), "-e", prefix.file("error.log")});
  if (!waitForPort(listenPort)) {
    throw std::runtime_error("nginx did not start: " + child->errorOutput() + errorLog());
  }
  // The master listens before it forks its workers.
  for (int i = 0; i < 250 && workers().size() < static_cast<std::size_t>(config.workers); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ModuleNginx::~ModuleNginx() {
  child->stop();
  const std::string log = errorLog();
  for (const char* level : {"[alert]", "[crit]", "[emerg]"}) {
    EXPECT_EQ(log.find(level), std::string::npos) << log;
  }
}

std::string ModuleNginx::url(const std::string& path) const {
  return (secure ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(listenPort) + path;
}

std::vector<pid_t> ModuleNginx::workers() const {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  while (dirent* entry = proc != nullptr ? ::readdir(proc) : nullptr) {
    const std::string name = entry->d_name;
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos &&
        parentOf(name) == child->pid()) {
      found.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  if (proc != nullptr) {
    ::closedir(proc);
  }
  return found;
}

ProgramResult ModuleNginx::signal(const std::string& name) const {
  return runProgram(kNginx, {"-p", prefix.path(), "-c", configFile(), "-e", prefix.file("error.log"), "-s", name});
}

ProgramResult testConfiguration(const std::string& settings) {
  TempDir prefix;
  ModuleConfig config;
  config.settings = settings;
  writeFile(prefix.file("nginx.conf"), moduleConfigText(prefix.path(), prefix.path(), freeLoopbackPort(), config));
  return runProgram(kNginx, {"-t", "-q", "-p", prefix.path(), "-c", prefix.file("nginx.conf"), "-e",
                             prefix.file("error.log")});
}

ProgramResult fetch(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"-sS", "-k", "--max-time", "20"});
  return runProgram("curl", arguments);
}

}  // namespace nimbuswatch::test
