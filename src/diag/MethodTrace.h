// Scoped entry/exit tracing of a method.
#pragma once

#include <cstdint>
#include <string>

#include "diag/TraceLevel.h"

namespace rimo::diag {

// Writes "---> Beginn: ..." when constructed and "<--- Ende: ..." when the
// scope is left. The tracer is armed only when its category traces errors;
// when the method's own level is off, the entry line is kept back with its
// time and written (at level 1, with the exit line) only if an exception
// leaves the scope. Lives on the stack of one thread; never copied.
class MethodTrace {
 public:
  MethodTrace(int32_t level, const wchar_t* category, const wchar_t* method, const wchar_t* file,
              int32_t line, const wchar_t* info);
  ~MethodTrace();
  MethodTrace(const MethodTrace&) = delete;
  MethodTrace& operator=(const MethodTrace&) = delete;

  static constexpr char kUnwindingText[] =
      "Fehlerinfo: StackUnwinding ~MethodTrace: Es ist eine Exception aufgetreten";

 private:
  void WriteEntry(const wchar_t* file, int32_t line, const wchar_t* info);
  void WriteExit();

  bool disarmed_ = true;
  bool entryWritten_ = false;
  int32_t level_ = 0;
  int uncaughtAtEntry_ = 0;
  std::string category_;
  std::string method_;
  std::string returnText_;
  std::string pendingEntry_;
};

}  // namespace rimo::diag

#define RIMO_TRACE_WIDEN2(x) L##x
#define RIMO_TRACE_WIDEN(x) RIMO_TRACE_WIDEN2(x)

// Opens a method tracer for the rest of the enclosing scope.
#define RIMO_METHOD_TRACE_AT(level, category, method)                                     \
  ::rimo::diag::MethodTrace rimoMethodTrace_((level), (category), (method),               \
                                             RIMO_TRACE_WIDEN(__FILE_NAME__), __LINE__, L"")
#define RIMO_METHOD_TRACE(category, method) \
  RIMO_METHOD_TRACE_AT(::rimo::diag::Detail, category, method)
