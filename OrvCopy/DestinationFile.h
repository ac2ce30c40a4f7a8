// Steps that backup and restore share when they write a file: checking the buffer capacity,
// and preparing and opening the destination file.
#pragma once

#include <orv_platform/framework.h>

#include "LogSupport.h"

#include <cstdint>
#include <string>

namespace OrvCopy {

// A block is read with a 32-bit count, so the capacity must be 1 to 2^32 - 1 bytes; an
// encrypted item needs a whole data unit (a multiple of 16, at least 64 bytes). An unusable
// capacity is logged with the item's path.
bool CapacityUsable(uint64_t nCapacity, bool bEncrypted, const std::wstring& strPath);

// The record of a host-streamed item in a job without a callback to stream it through.
void LogNoStreamCallback(const std::wstring& strPath);

// The records a caller writes when its destination cannot be prepared.
struct DestinationLines {
  LogRecord deleteFailed;
  LogRecord openFailed;
  LogRecord openException;
  LogRecord openExceptionText;
};

// Deletes a file already at the path and creates its folder (unless bAppend), then opens it
// for writing: a new file, or the existing one positioned at its end (bAppend). strLastFolder
// remembers the folder made last, so that the files of one folder do not each create it
// again. Failures are logged with the caller's lines; false when the destination is not open.
bool OpenDestinationFile(CFile& dest, const std::wstring& strPath, bool bAppend,
                         const DestinationLines& lines, std::wstring& strLastFolder);

}  // namespace OrvCopy
