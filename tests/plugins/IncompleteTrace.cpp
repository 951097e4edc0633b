// A trace plug-in that lacks one required entry point ("DoneTraceSystem").
#include <cstdint>

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT void InitTraceSystem() {}
EXPORT int32_t Write(int32_t, const char*, const char*) { return 1; }
EXPORT bool ShouldTrace(int32_t) { return true; }
EXPORT bool ShouldTraceCategory(int32_t, const char*) { return true; }
EXPORT void WriteEntry() {}
EXPORT void Dump() {}
EXPORT void DumpEntry() {}
EXPORT void ConfigureTrace() {}
EXPORT void IsTracingEnabled() {}
EXPORT void SetTracingEnabled() {}
EXPORT void SetAppTracingLevel() {}
EXPORT void GetAppTracingLevel() {}
EXPORT void SetLevel() {}
EXPORT void GetLevel() {}
EXPORT void ListenerExists() {}
EXPORT void AddListener() {}
EXPORT void AddConsoleListener() {}
EXPORT void AddTextfileListener() {}
EXPORT void RemoveListenerCategory() {}
EXPORT void RemoveListener() {}
EXPORT void RemoveCategory() {}
EXPORT void RemoveAllCategories() {}
