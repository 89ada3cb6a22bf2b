#include "platform/process_internal.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace zv {

uint64_t CurrentProcessId() { return static_cast<uint64_t>(GetCurrentProcessId()); }

void NameCurrentThread(const char* name) { (void)name; }

bool CanJoinThreadsAtUnload() { return false; }

void PinThisModule() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&PinThisModule), &self);
}

}  // namespace zv
