// A local data center: the REST service the component queries, over HTTPS
// on 127.0.0.1, answering from a directory.
//
//   GET /pvtwmod/rest/DataTcService/<cardno>?anw=...
//     DIR/<cardno>.conf   faults to reproduce (key=value lines, see below)
//     DIR/<cardno>.fault  status, ID, user message, technical message (one a line):
//                         a FAULTINFO document with that status
//     DIR/<cardno>.xml    a TC response: 200 with a GETDATATCRESPONSE envelope
//     none of these       204
//
// Keys of <cardno>.conf: status=N (answer N; with body=TEXT, bodyfile=NAME
// in DIR, or no body), delay_ms=N (wait before answering), drip_ms=N (send
// the answer one byte every N ms), cut_after=N (announce the whole body,
// close the connection after N bytes of it), redirect=URL (302 to URL),
// oversize=BYTES (200 with that many bytes).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace rimo::datacenter {

struct Options {
  std::string certFile;      // PEM, the server's certificate (and its chain)
  std::string keyFile;       // PEM
  std::string answersDir;
  std::string clientCaFile;  // non-empty: client certificates from this CA are required
  std::string ocspFile;      // non-empty: this DER OCSP response is stapled
  int port = 0;              // 0: an ephemeral port
  int threads = 64;
};

class DataCenter {
 public:
  explicit DataCenter(Options options);
  ~DataCenter();
  DataCenter(const DataCenter&) = delete;
  DataCenter& operator=(const DataCenter&) = delete;

  // Binds 127.0.0.1; the bound port, or -1 with error() saying why.
  int Bind();
  // Serves until Stop(); false when serving could not start.
  bool Serve();
  void Stop();
  const std::string& error() const { return error_; }

  // Each request as one line: method, target, Accept, User-Agent, status.
  void SetLogger(std::function<void(const std::string&)> logger);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string error_;
};

}  // namespace rimo::datacenter
