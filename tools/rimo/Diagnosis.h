// Why a job of the rimo host failed, in one line for people: from checks of
// its own and from the component's trace, its diagnostic channel.
#pragma once

#include <cstdint>
#include <string>

namespace rimo::tool {

class Diagnosis {
 public:
  // Routes the component's trace into a private file: through KELO_TRACE
  // and KELO_TRACE_FILE unless the user set KELO_TRACE (set before the
  // library is loaded); otherwise, with Attach, as one more listener of the
  // user's trace settings, whose value is checked (one warning on standard
  // error for what cannot be read).
  Diagnosis();
  // With the user's KELO_TRACE: adds the private file as a listener of the
  // trace plug-in the component in libraryDirectory uses.
  void Attach(const std::string& libraryDirectory);
  ~Diagnosis();
  Diagnosis(const Diagnosis&) = delete;
  Diagnosis& operator=(const Diagnosis&) = delete;

  std::string Reason(const std::string& command, const std::string& argument, int32_t errorKind,
                     const std::string& errorId, int32_t httpStatus, const std::string& userMessage) const;
  // What the job could not write (the response file, the status INI) and
  // why, from the component's trace; empty when every write went through.
  std::string WriteFailure() const;

 private:
  std::string TraceText() const;
  std::string LoadReason(const std::string& file) const;
  std::string QueryReason(const std::string& command, const std::string& argument, int32_t errorKind,
                          const std::string& errorId, int32_t httpStatus, const std::string& userMessage) const;

  int traceFd_ = -1;
  bool userTrace_ = false;  // KELO_TRACE was the user's
  bool ownLevel_ = false;   // the private file takes every reason, whatever the user's levels
};

// What keeps FILE from being read as a response file; empty when nothing.
std::string CheckResponseFile(const std::string& file);

// "000-12029" and the like, in words.
std::string ErrorIdMeaning(const std::string& errorId);

}  // namespace rimo::tool
