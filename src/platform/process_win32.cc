#include "platform/process_internal.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace zv {

uint64_t CurrentProcessId() { return static_cast<uint64_t>(GetCurrentProcessId()); }

void NameCurrentThread(const char* name) {
  // SetThreadDescription exists from Windows 10 1607 on: looked up, so the
  // library still loads on older systems, where threads stay unnamed.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto set = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (set == nullptr || name == nullptr) return;
  wchar_t wide[64];
  if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 64) > 0) set(GetCurrentThread(), wide);
}

bool CanJoinThreadsAtUnload() { return false; }

void PinThisModule() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&PinThisModule), &self);
}

}  // namespace zv
