// The compression engine: COrv_ZIP writes one ZIP archive per call, reporting through the
// host's callback.
#pragma once

#include <OrvCopy/external/OrvCallBack.h>
#include <OrvCopy/external/OrvCompExport.h>

#include <cstdint>
#include <memory>

namespace OrvCompression {

// How the engine reports: 0, to the host's COrvCallBack (progress, abort, host streams).
enum _CallBackType : int {
  CallBackTypeHost = 0,
};

// The engine that writes the archive: 1, ZIP (deflate, WinZip AES), the only one.
enum _EngineType : int {
  EngineTypeZip = 1,
};

// Entry encryption: 0 none, 2 WinZip AES (salted keys and an HMAC per entry). 1, the
// traditional PKWARE encryption, is broken and refused.
enum _EncryptionType : int {
  EncryptionTypeNone = 0,
  EncryptionTypeWinZipAES = 2,
};

// WinZip AES key strength.
enum _AESStrength : int {
  AESStrength128 = 0,
  AESStrength192 = 1,
  AESStrength256 = 2,
};

// An entry of an archive, as the engine is told of it.
class CArchiveItem {
 public:
  // What an added item is (AddItem), and how the engine takes the items it is given
  // (SetFilesProcessType).
  enum _AddItemType : int {
    AddItemFile = 0,         // an entry whose data is read from a file or a host stream
    AddItemFolder = 1,       // a folder entry without data
    ProcessEachAsGiven = 2,  // every added item becomes one entry, under the name given
  };
};

// What DoZip returns: the copy manager's own status values.
inline constexpr int ZipDone = 0;
inline constexpr int ZipStopped = 60;  // the host asked to stop
inline constexpr int ZipFailed = 62;   // the archive could not be made (logged)

// A buffer capacity rounded up to a whole number of 16-, 24- and 32-byte cipher blocks (a
// multiple of 96), as SetBufferCapacity rounds it here and in the copy manager. The rounding
// keeps to signed 32-bit sizes: a larger capacity stays as it is.
constexpr uint64_t RoundBufferCapacity(uint64_t nCapacity) {
  constexpr uint64_t kGranule = 96;
  constexpr uint64_t kLargestRounded = 2147483616;  // the largest multiple of 96 below 2^31
  return nCapacity <= kLargestRounded ? (nCapacity + kGranule - 1) / kGranule * kGranule
                                      : nCapacity;
}

// Writes one ZIP archive at output folder + file name, with one entry per added item.
//
// After DoZip, the callback object holds:
//   m_nProcessedSize       the bytes of the archive just written (0 while it is written)
//   m_nTotalProcessedSize  the processed base given to DoZip + the source bytes read
//   m_nProcessedPos        the same, kept current after every block read
//   m_nFileProcessedSize   the source bytes read for the last entry
//   m_ProcessedStatus      its totals grow by the source bytes read and the archive bytes
//                          written
// OnProgress comes after every block read; IsAbortRequested is asked through libzip's
// cancellation while the archive is written. A failed or stopped archive never leaves a partial
// archive at its path: an earlier file there stays when the archive failed before it was
// written out, and is gone when writing it out failed.
class ORVCOMP_API COrv_ZIP {
 public:
  COrv_ZIP();
  ~COrv_ZIP();
  COrv_ZIP(const COrv_ZIP&) = delete;
  COrv_ZIP& operator=(const COrv_ZIP&) = delete;

  // Prepares the engine; lpszReserved must be empty or null. 1 when usable, 0 when not.
  int Initialize(const wchar_t* lpszReserved);
  void SetCallBack(COrvCallBack* pCallBack);
  void SetCallBackType(_CallBackType eType);
  void SetFilesProcessType(CArchiveItem::_AddItemType eType);
  // The size of the blocks read from a source (rounded to a multiple of 96 with bRound).
  void SetBufferCapacity(uint64_t nCapacity, int bRound);
  // Deflate level, 0 (stored) to 9.
  void SetCompressionLevel(int nLevel);
  void SetEngineType(_EngineType eType);
  void SetEncryptionType(_EncryptionType eType);
  void SetAESType(_AESStrength eStrength);
  void SetPassword(const wchar_t* lpszPassword);
  // The archive's file name and folder. 1 when taken, 0 for an empty name.
  int SetZipFileName(const wchar_t* lpszFileName);
  int SetZipOutputPath(const wchar_t* lpszOutputPath);
  // Adds an entry: its data is read from lpszSourcePath (bFileData nonzero) or from the host
  // stream of nItemKey (bFileData 0). lpszComment becomes the entry's comment when not empty;
  // nReserved1, nReserved2 and dwFlags must be 0. 1 when taken, 0 when not.
  int AddItem(const wchar_t* lpszSourcePath, const wchar_t* lpszComment,
              const wchar_t* lpszNameInArchive, uint64_t nItemKey, int bFileData, int nReserved1,
              int nReserved2, CArchiveItem::_AddItemType eType, uint32_t dwFlags);
  // Writes the archive: ZipDone when it is complete at the archive path, ZipStopped when the
  // host stopped it, ZipFailed when it failed (logged).
  int DoZip(uint64_t nProcessedBase);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_pImpl;
};

}  // namespace OrvCompression
