#include "diag/MethodTrace.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>
#include <exception>

#include "diag/Trace.h"
#include "diag/TraceSystemAdapter.h"
#include "platform/Utf8.h"

namespace rimo::diag {
namespace {

std::string Narrow(const wchar_t* text) {
  char buf[4096];
  platform::WideToUtf8(text, buf, sizeof buf);
  return buf;
}

std::string LocalTimeOfDay() {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  struct tm local {};
  localtime_r(&tv.tv_sec, &local);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(tv.tv_usec / 1000));
  return buf;
}

}  // namespace

MethodTrace::MethodTrace(int32_t level, const wchar_t* category, const wchar_t* method,
                         const wchar_t* file, int32_t line, const wchar_t* info) {
  if (category == nullptr || category[0] == L'\0' || method == nullptr || file == nullptr ||
      info == nullptr) {
    return;
  }
  try {
    // Armed whenever the category reports errors, so that an exception
    // leaving the method can still be traced with its entry line.
    if (!TraceSystemAdapter::Instance().ShouldTraceCategory(level < 2 ? level : 2, category)) return;
    char narrowCategory[128];
    platform::WideToUtf8(category, narrowCategory, sizeof narrowCategory);
    level_ = level;
    uncaughtAtEntry_ = std::uncaught_exceptions();
    category_ = narrowCategory;
    method_ = Narrow(method);
    entryWritten_ = false;
    disarmed_ = false;
    WriteEntry(file, line, info);
  } catch (...) {
    // No memory for the trace: the method runs untraced.
    disarmed_ = true;
  }
}

void MethodTrace::WriteEntry(const wchar_t* file, int32_t line, const wchar_t* info) {
  const bool immediate = TraceSystemAdapter::Instance().ShouldTraceCategory(level_, category_.c_str());
  std::string entry = "---> Beginn";
  if (!immediate) entry += " (" + LocalTimeOfDay() + ")";
  entry += ": ";
  entry += method_;
  if (line >= 1) {
    entry += " (" + std::to_string(line) + ") ";
  } else {
    entry += ' ';
  }
  entry += Narrow(info);
  entry += ' ';
  entry += Narrow(file);
  if (immediate) {
    entryWritten_ = true;
    TraceWriteA(level_, category_.c_str(), entry.c_str());
  } else {
    pendingEntry_ = std::move(entry);
  }
}

MethodTrace::~MethodTrace() {
  // A disarmed tracer has no category, so nothing would pass the checks below.
  if (disarmed_) return;
  try {
    WriteExit();
  } catch (...) {
    // Tracing never throws into the traced code.
  }
}

void MethodTrace::WriteExit() {
  TraceSystemAdapter& adapter = TraceSystemAdapter::Instance();
  if (std::uncaught_exceptions() > uncaughtAtEntry_) {
    level_ = Critical;
    if (!entryWritten_ && adapter.ShouldTraceCategory(Critical, category_.c_str())) {
      TraceWriteA(Critical, category_.c_str(), pendingEntry_.c_str());
      entryWritten_ = true;
      pendingEntry_.clear();
    }
    returnText_ = kUnwindingText;
  }
  if (!adapter.ShouldTraceCategory(level_, category_.c_str())) return;
  std::string exitLine = "<--- Ende: " + method_;
  if (!returnText_.empty()) {
    exitLine += "\t Returnwert: ";
    exitLine += returnText_;
  }
  TraceWriteA(level_, category_.c_str(), exitLine.c_str());
}

}  // namespace rimo::diag
