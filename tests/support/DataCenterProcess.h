// rimo-datacenter run as a child process on 127.0.0.1 with an ephemeral
// port; stopped with SIGTERM by the destructor. Its request log is kept.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace rimo::testing {

class DataCenterProcess {
 public:
  // args: the options after the program name (--cert, --key, --answers, ...).
  explicit DataCenterProcess(const std::vector<std::string>& args);
  ~DataCenterProcess();
  DataCenterProcess(const DataCenterProcess&) = delete;
  DataCenterProcess& operator=(const DataCenterProcess&) = delete;

  int port() const { return port_; }
  std::string BaseUrl() const { return "https://127.0.0.1:" + std::to_string(port_); }
  // The request lines logged so far (the port line left out). A line is
  // written just after its answer went out: with atLeast, waits (a few
  // seconds at most) until that many are there.
  std::vector<std::string> Requests(size_t atLeast = 0) const;
  // Stops it; the exit status (0 for a clean stop on SIGTERM).
  int Stop();

 private:
  pid_t pid_ = -1;
  int port_ = -1;
  std::string logPath_;
};

}  // namespace rimo::testing
