// Trace levels and the categories this component traces under.
#pragma once

#include <cstdint>

namespace rimo::diag {

enum TraceLevel : int32_t {
  Critical = 1,
  Error = 2,
  Warning = 4,
  Info = 8,
  Detail = 16,
};

namespace category {
inline constexpr wchar_t kDataDll[] = L"Kelo.Rimo.DataDll";
inline constexpr wchar_t kToolsLib[] = L"Kelo.Rimo.ToolsLib";
inline constexpr wchar_t kSuppLib[] = L"Kelo.Rimo.SuppLib";
inline constexpr wchar_t kWebComm[] = L"Kelo.BasisLibs.WebComm";
inline constexpr wchar_t kThreadControl[] = L"Kelo.ThreadControl";
inline constexpr wchar_t kExceptionTranslator[] = L"ExceptionTranslator";
}  // namespace category

}  // namespace rimo::diag
