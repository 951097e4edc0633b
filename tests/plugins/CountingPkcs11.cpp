// A PKCS#11 module for tests: forwards every call to the module named by
// RIMO_TEST_P11_TARGET and appends the name of each counted call and its
// return value to the file RIMO_TEST_P11_LOG, one line each ("C_Login
// 0xa0"). RIMO_TEST_P11_BUSY=N makes the first N C_OpenSession calls (as the
// log counts them) answer CKR_DEVICE_ERROR, as a busy reader does. Never
// logs arguments (a PIN).
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

CK_FUNCTION_LIST g_target;
CK_FUNCTION_LIST g_counting;

void Log(const char* name, CK_RV rv) {
  const char* path = std::getenv("RIMO_TEST_P11_LOG");
  if (path == nullptr) return;
  if (FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s 0x%lx\n", name, static_cast<unsigned long>(rv));
    std::fclose(f);
  }
}

int Logged(const char* name) {
  const char* path = std::getenv("RIMO_TEST_P11_LOG");
  if (path == nullptr) return 0;
  std::ifstream in(path);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) n += line.rfind(std::string(name) + " ", 0) == 0;
  return n;
}

CK_RV Initialize(CK_VOID_PTR args) {
  const CK_RV rv = g_target.C_Initialize(args);
  Log("C_Initialize", rv);
  return rv;
}
CK_RV GetSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  const CK_RV rv = g_target.C_GetSlotList(present, list, count);
  if (list == nullptr) Log("C_GetSlotList", rv);  // once per listing
  return rv;
}
CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR app, CK_NOTIFY notify, CK_SESSION_HANDLE_PTR session) {
  const char* busy = std::getenv("RIMO_TEST_P11_BUSY");
  if (busy != nullptr && Logged("C_OpenSession") < std::atoi(busy)) {
    Log("C_OpenSession", CKR_DEVICE_ERROR);
    return CKR_DEVICE_ERROR;
  }
  const CK_RV rv = g_target.C_OpenSession(slot, flags, app, notify, session);
  Log("C_OpenSession", rv);
  return rv;
}
CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  const CK_RV rv = g_target.C_Login(session, user, pin, length);
  Log("C_Login", rv);
  return rv;
}

}  // namespace

EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  const char* target = std::getenv("RIMO_TEST_P11_TARGET");
  if (target == nullptr || list == nullptr) return CKR_GENERAL_ERROR;
  void* handle = dlopen(target, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) return CKR_GENERAL_ERROR;
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
  CK_FUNCTION_LIST* real = nullptr;
  if (get == nullptr || get(&real) != CKR_OK || real == nullptr) return CKR_GENERAL_ERROR;
  g_target = *real;
  g_counting = *real;
  g_counting.C_Initialize = &Initialize;
  g_counting.C_GetSlotList = &GetSlotList;
  g_counting.C_OpenSession = &OpenSession;
  g_counting.C_Login = &Login;
  *list = &g_counting;
  return CKR_OK;
}
