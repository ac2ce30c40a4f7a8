// Fault injection on Windows. The file and path services are the system's own there, so the
// faults are injected where the program calls them: the entries of this program's import table
// are pointed at wrappers that count each call and fail the chosen ones with the mapped error,
// as the POSIX layer does inside its own functions. Only the calling program's own imports
// change (the tests link the library's code in); a DLL's imports are never touched.
#include "fault_hooks.h"

#include <orv_platform/fault_injection_test_helper.h>
#include <orv_platform/win32.h>

#include "../error_mapping.h"

#include <cstring>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace orv::platform::fault {
namespace {

decltype(&::CreateFileW) g_createFile = nullptr;
decltype(&::ReadFile) g_readFile = nullptr;
decltype(&::WriteFile) g_writeFile = nullptr;
decltype(&::SetFilePointerEx) g_setFilePointer = nullptr;
decltype(&::GetFileSizeEx) g_getFileSize = nullptr;
decltype(&::CloseHandle) g_closeHandle = nullptr;
decltype(&::FlushFileBuffers) g_flush = nullptr;
decltype(&::SetEndOfFile) g_setEnd = nullptr;
decltype(&::DeleteFileW) g_deleteFile = nullptr;
decltype(&::CreateDirectoryW) g_createDirectory = nullptr;
decltype(&::RemoveDirectoryW) g_removeDirectory = nullptr;
decltype(&::GetFileTime) g_getFileTime = nullptr;
decltype(&::SetFileTime) g_setFileTime = nullptr;
decltype(&::GetFileAttributesW) g_getAttributes = nullptr;
decltype(&::GetFileAttributesExW) g_getAttributesEx = nullptr;
decltype(&::SetFileAttributesW) g_setAttributes = nullptr;
decltype(&::PathFileExistsW) g_pathExists = nullptr;
decltype(&::PathIsDirectoryW) g_pathIsDirectory = nullptr;

// Counts the call; when it is one to fail, sets the mapped error and gives `failed`.
template <typename Result>
bool Injected(Op op, Result failed, Result& result) {
  const int err = Check(op);
  if (err == 0)
    return false;
  ::SetLastError(WindowsErrorFromErrno(err));
  result = failed;
  return true;
}

// Each wrapper: the injected failure, or the real call.
#define ORV_FAULT_HOOK(op, failed, real, ...) \
  decltype(failed) result{};                  \
  if (Injected(op, failed, result))           \
    return result;                            \
  return real(__VA_ARGS__)

// The handles of the files opened through the hook: only their closes count, as on POSIX,
// where a close is a file's; the program's other handles (threads, events) pass untouched.
std::mutex g_filesMutex;
std::unordered_set<HANDLE> g_files;

HANDLE WINAPI HookCreateFile(LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f,
                             HANDLE g) {
  HANDLE failed = INVALID_HANDLE_VALUE;
  if (Injected(Op::Open, INVALID_HANDLE_VALUE, failed))
    return failed;
  HANDLE file = g_createFile(a, b, c, d, e, f, g);
  if (file != INVALID_HANDLE_VALUE) {
    const std::lock_guard<std::mutex> lock(g_filesMutex);
    g_files.insert(file);
  }
  return file;
}
BOOL WINAPI HookReadFile(HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e) {
  ORV_FAULT_HOOK(Op::Read, FALSE, g_readFile, a, b, c, d, e);
}
BOOL WINAPI HookWriteFile(HANDLE a, LPCVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e) {
  ORV_FAULT_HOOK(Op::Write, FALSE, g_writeFile, a, b, c, d, e);
}
BOOL WINAPI HookSetFilePointer(HANDLE a, LARGE_INTEGER b, PLARGE_INTEGER c, DWORD d) {
  ORV_FAULT_HOOK(Op::Seek, FALSE, g_setFilePointer, a, b, c, d);
}
BOOL WINAPI HookGetFileSize(HANDLE a, PLARGE_INTEGER b) {
  ORV_FAULT_HOOK(Op::Length, FALSE, g_getFileSize, a, b);
}
// A failed close still releases the handle, as on POSIX.
BOOL WINAPI HookCloseHandle(HANDLE a) {
  {
    const std::lock_guard<std::mutex> lock(g_filesMutex);
    if (g_files.erase(a) == 0)
      return g_closeHandle(a);
  }
  const int err = Check(Op::Close);
  const BOOL closed = g_closeHandle(a);
  if (err == 0)
    return closed;
  ::SetLastError(WindowsErrorFromErrno(err));
  return FALSE;
}
BOOL WINAPI HookFlush(HANDLE a) {
  ORV_FAULT_HOOK(Op::Flush, FALSE, g_flush, a);
}
BOOL WINAPI HookSetEnd(HANDLE a) {
  ORV_FAULT_HOOK(Op::Flush, FALSE, g_setEnd, a);
}
BOOL WINAPI HookDeleteFile(LPCWSTR a) {
  ORV_FAULT_HOOK(Op::Delete, FALSE, g_deleteFile, a);
}
BOOL WINAPI HookCreateDirectory(LPCWSTR a, LPSECURITY_ATTRIBUTES b) {
  ORV_FAULT_HOOK(Op::CreateFolder, FALSE, g_createDirectory, a, b);
}
BOOL WINAPI HookRemoveDirectory(LPCWSTR a) {
  ORV_FAULT_HOOK(Op::RemoveFolder, FALSE, g_removeDirectory, a);
}
BOOL WINAPI HookGetFileTime(HANDLE a, LPFILETIME b, LPFILETIME c, LPFILETIME d) {
  ORV_FAULT_HOOK(Op::GetTimes, FALSE, g_getFileTime, a, b, c, d);
}
BOOL WINAPI HookSetFileTime(HANDLE a, const FILETIME* b, const FILETIME* c, const FILETIME* d) {
  ORV_FAULT_HOOK(Op::SetTimes, FALSE, g_setFileTime, a, b, c, d);
}
DWORD WINAPI HookGetAttributes(LPCWSTR a) {
  ORV_FAULT_HOOK(Op::GetAttributes, INVALID_FILE_ATTRIBUTES, g_getAttributes, a);
}
BOOL WINAPI HookGetAttributesEx(LPCWSTR a, GET_FILEEX_INFO_LEVELS b, LPVOID c) {
  ORV_FAULT_HOOK(Op::GetAttributes, FALSE, g_getAttributesEx, a, b, c);
}
BOOL WINAPI HookSetAttributes(LPCWSTR a, DWORD b) {
  ORV_FAULT_HOOK(Op::SetAttributes, FALSE, g_setAttributes, a, b);
}
BOOL WINAPI HookPathExists(LPCWSTR a) {
  ORV_FAULT_HOOK(Op::GetAttributes, FALSE, g_pathExists, a);
}
BOOL WINAPI HookPathIsDirectory(LPCWSTR a) {
  ORV_FAULT_HOOK(Op::GetAttributes, FALSE, g_pathIsDirectory, a);
}

#undef ORV_FAULT_HOOK

struct Hook {
  const char* name;
  void* replacement;
  void** real;
};

// The replacement and the pointer that keeps the real function have one type: a hook whose
// signature differs from the system's does not compile.
template <typename Function>
Hook MakeHook(const char* name, Function replacement, Function& real) {
  return Hook{name, reinterpret_cast<void*>(replacement), reinterpret_cast<void**>(&real)};
}

// The import-table entry (the slot the program calls through) of each import of `module`
// that one of the hooks names, with that hook.
struct Slot {
  ULONG_PTR* entry;
  const Hook* hook;
};

std::vector<Slot> FindSlots(HMODULE module, const Hook* hooks, size_t count) {
  std::vector<Slot> found;
  auto* base = reinterpret_cast<uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0)
    return found;
  for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       library->Name != 0; ++library) {
    if (library->OriginalFirstThunk == 0)
      continue;  // no names to match against
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
        continue;
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      for (size_t i = 0; i < count; ++i) {
        if (std::strcmp(reinterpret_cast<const char*>(byName->Name), hooks[i].name) == 0)
          found.push_back(Slot{&slots->u1.Function, &hooks[i]});
      }
    }
  }
  return found;
}

// Keeps every real function first, then points the slots at the hooks: a call that comes in
// meanwhile reaches either the real function or a hook that knows it.
void PatchImports(HMODULE module, const Hook* hooks, size_t count) {
  const std::vector<Slot> slots = FindSlots(module, hooks, count);
  for (const Slot& slot : slots)
    *slot.hook->real = reinterpret_cast<void*>(*slot.entry);
  for (const Slot& slot : slots) {
    DWORD protection = 0;
    if (!::VirtualProtect(slot.entry, sizeof *slot.entry, PAGE_READWRITE, &protection))
      continue;  // that call stays unhooked: its faults never fire, which the sweep reports
    *slot.entry = reinterpret_cast<ULONG_PTR>(slot.hook->replacement);
    ::VirtualProtect(slot.entry, sizeof *slot.entry, protection, &protection);
  }
}

}  // namespace

void InstallHooks() {
  static std::once_flag once;
  std::call_once(once, [] {
    const Hook hooks[] = {
        MakeHook("CreateFileW", &HookCreateFile, g_createFile),
        MakeHook("ReadFile", &HookReadFile, g_readFile),
        MakeHook("WriteFile", &HookWriteFile, g_writeFile),
        MakeHook("SetFilePointerEx", &HookSetFilePointer, g_setFilePointer),
        MakeHook("GetFileSizeEx", &HookGetFileSize, g_getFileSize),
        MakeHook("CloseHandle", &HookCloseHandle, g_closeHandle),
        MakeHook("FlushFileBuffers", &HookFlush, g_flush),
        MakeHook("SetEndOfFile", &HookSetEnd, g_setEnd),
        MakeHook("DeleteFileW", &HookDeleteFile, g_deleteFile),
        MakeHook("CreateDirectoryW", &HookCreateDirectory, g_createDirectory),
        MakeHook("RemoveDirectoryW", &HookRemoveDirectory, g_removeDirectory),
        MakeHook("GetFileTime", &HookGetFileTime, g_getFileTime),
        MakeHook("SetFileTime", &HookSetFileTime, g_setFileTime),
        MakeHook("GetFileAttributesW", &HookGetAttributes, g_getAttributes),
        MakeHook("GetFileAttributesExW", &HookGetAttributesEx, g_getAttributesEx),
        MakeHook("SetFileAttributesW", &HookSetAttributes, g_setAttributes),
        MakeHook("PathFileExistsW", &HookPathExists, g_pathExists),
        MakeHook("PathIsDirectoryW", &HookPathIsDirectory, g_pathIsDirectory),
    };
    PatchImports(::GetModuleHandleW(nullptr), hooks, std::size(hooks));
  });
}

}  // namespace orv::platform::fault
