// Test knob of the platform layer: makes a chosen later call of one kind fail with a chosen
// error, and counts the calls of every kind so that a test can find every call site.
//
// Production code never arms a fault; the check on each call is a relaxed atomic increment
// (the count) and a relaxed load.
#pragma once

#include <cstdint>

namespace orv::platform::fault {

enum class Op : int {
  Open,           // CreateFileW
  Read,           // ReadFile
  Write,          // WriteFile
  Seek,           // SetFilePointerEx
  Length,         // GetFileSizeEx
  Close,          // CloseHandle (the descriptor is released even when the close fails)
  Flush,          // FlushFileBuffers, SetEndOfFile
  Delete,         // DeleteFileW
  CreateFolder,   // CreateDirectoryW
  RemoveFolder,   // RemoveDirectoryW
  GetTimes,       // GetFileTime
  SetTimes,       // SetFileTime
  GetAttributes,  // GetFileAttributesW, PathFileExistsW, PathIsDirectoryW
  SetAttributes,  // SetFileAttributesW
  StartEngine,    // the compression engine's Initialize
  kCount,
};

const char* Name(Op op);

// Makes the nth call of `op` from now on (1 = the next one), and the count - 1 calls after
// it, fail with the POSIX error `err`, which reaches the caller through the same
// errno-to-Windows mapping as a real failure.
void FailNth(Op op, uint64_t nth, int err, uint64_t count = 1);

// Disarms every fault and sets every call count to zero.
void Reset();

// Calls of `op` since the last Reset.
uint64_t Calls(Op op);

// Calls of any kind failed on purpose since the last Reset.
uint64_t Fired();

// Used by the platform layer on every call: counts it and returns the error to fail it with,
// or 0.
int Check(Op op);

}  // namespace orv::platform::fault
