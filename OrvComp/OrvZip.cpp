// The ZIP engine over libzip: one archive, one entry per added item, deflate at the level
// set, WinZip AES when asked; sources read block by block through a libzip source function,
// so that file and host-streamed data are counted, reported and stoppable alike.
#include <OrvCopy/external/OrvComp.h>
#include <OrvCopy/external/OrvLogging.h>
#include <orv_platform/fault_injection_test_helper.h>
#include <orv_platform/filetime.h>
#include <orv_platform/framework.h>
#include <orv_platform/utf.h>
#include <orv_platform/win32.h>

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace OrvCompression {
namespace {

constexpr const char* kLogSource = ".\\OrvComp";
enum LogLine : int { kArchiveFailed = 310, kEntryFailed = 311 };
constexpr uint64_t kDefaultBlock = 65856;
// Archives whose sources are files of this many bytes at most are made in memory and written
// to their path in one go: no temporary file and rename per archive, which for a backup of
// many small files is most of the file-system work. Larger sources, and host streams of
// unknown length, go through libzip's temporary file next to the archive.
constexpr uint64_t kInMemoryLimit = 16 * 1024 * 1024;

// A FILETIME (100 ns since 1601) in seconds since 1970, as the ZIP entry's time takes it.
time_t UnixTime(const FILETIME& ft) {
  return static_cast<time_t>(orv::platform::TicksSinceUnixEpoch(ft) /
                             orv::platform::kFileTimeTicksPerSecond);
}

uint64_t FileSize(const WIN32_FILE_ATTRIBUTE_DATA& info) {
  return (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// Whether the name ends in ".zip", in any case.
bool EndsWithZip(const std::string& name) {
  const std::string_view suffix = ".zip";
  return name.size() > suffix.size() &&
         std::equal(suffix.begin(), suffix.end(), name.end() - 4, [](char a, char b) {
           return a == std::tolower(static_cast<unsigned char>(b));
         });
}

std::string Utf8(const std::wstring& text) {
  return orv::platform::WideToUtf8Lossy(text);
}

void LogFailure(LogLine line, const wchar_t* message, const std::wstring& path,
                const char* detail) {
  LOGGER::g_OrvLog.WriteLog(message, LOGGER::SeverityError, kLogSource, line, nullptr);
  LOGGER::g_OrvLog.Log(L"File: %s", path.c_str());
  if (detail != nullptr)
    LOGGER::g_OrvLog.Log("Error Message: %s", detail);
}

}  // namespace

struct Entry;

// The engine's settings and the run state of DoZip.
struct ZipEngineState {
  bool initialized = false;
  COrvCallBack* callback = nullptr;
  uint64_t blockSize = kDefaultBlock;
  int level = 6;
  _EngineType engine = EngineTypeZip;
  _EncryptionType encryption = EncryptionTypeNone;
  _AESStrength strength = AESStrength256;
  std::string password;
  std::wstring fileName, outputPath;
  std::vector<std::unique_ptr<Entry>> entries;

  // Run state of DoZip.
  uint64_t base = 0;
  uint64_t read = 0;  // source bytes read for the whole archive
  bool stopped = false;
  // The block the sources are read into: allocated once per engine and not cleared (only what
  // a read fills is used), so a small file touches only the pages it needs.
  std::unique_ptr<uint8_t[]> block;
  size_t blockAllocated = 0;

  void NameEntriesApartFromTheArchive();

  std::wstring ArchivePath() const {
    std::wstring path = outputPath;
    if (!path.empty() && path.back() != orv::platform::kPathSeparator) {
      path.push_back(orv::platform::kPathSeparator);
    }
    return path + fileName;
  }

  // Asked by libzip while it writes; a stop, once asked for, stays.
  bool AbortRequested() {
    if (!stopped && callback != nullptr && callback->IsAbortRequested()) {
      stopped = true;
    }
    return stopped;
  }

  void Counted(uint64_t n) {
    read += n;
    if (callback == nullptr)
      return;
    callback->m_nFileProcessedSize += n;
    callback->m_ProcessedStatus.m_nTotalProcessedSize += n;
    callback->m_nTotalProcessedSize = callback->m_nProcessedPos = base + read;
    callback->OnProgress();
  }
};

// One entry to write and the reading state of its source while the archive is written.
struct Entry {
  struct ZipEngineState* owner = nullptr;
  std::wstring sourcePath;
  std::wstring comment;
  std::string name;  // as stored: UTF-8 where the name is, raw bytes otherwise
  uint64_t key = 0;
  bool fileData = true;
  CFile file;
  bool streamOpen = false;
  size_t blockUsed = 0, blockFilled = 0;  // what libzip has taken of the block read last
  bool atEnd = false;                     // a short read of the file: nothing more to read
  bool statDone = false;                  // the source is looked at once per archive
  time_t mtime = 0;
  bool haveMtime = false;
  uint64_t size = 0;  // with haveMtime: the source's length when it was looked at

  // Looks at the source file once: its time for the entry, its length to choose where the
  // archive is made.
  void StatSource() {
    if (!fileData || statDone)
      return;
    statDone = true;
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (GetFileAttributesExW(sourcePath.c_str(), GetFileExInfoStandard, &info)) {
      mtime = UnixTime(info.ftLastWriteTime);
      size = FileSize(info);
      haveMtime = true;
    }
  }
  zip_error_t error{};
};

// An archive never holds an entry named like itself: "a.sh.zip" holds "a.sh", so that unpacking
// it gives the file back under its own name.
void ZipEngineState::NameEntriesApartFromTheArchive() {
  std::string archiveName;
  if (!orv::platform::WideToNative(fileName, archiveName))
    return;
  for (auto& entry : entries) {
    const size_t n = entry->name.size();
    if (entry->name == archiveName && EndsWithZip(entry->name))
      entry->name.resize(n - 4);
  }
}

struct COrv_ZIP::Impl : ZipEngineState {};

namespace {

// Opens the entry's file or the host's stream of its item.
zip_int64_t OpenSource(Entry& entry, ZipEngineState& impl) {
  if (entry.fileData) {
    CFileException error;
    if (!entry.file.Open(entry.sourcePath.c_str(),
                         CFile::modeRead | CFile::shareDenyNone | CFile::osSequentialScan,
                         &error)) {
      zip_error_set(&entry.error, ZIP_ER_OPEN, static_cast<int>(error.m_lOsError));
      return -1;
    }
  } else {
    if (impl.callback == nullptr || impl.callback->OpenItemData(entry.key, 0) != 0) {
      zip_error_set(&entry.error, ZIP_ER_OPEN, 0);
      return -1;
    }
    entry.streamOpen = true;
  }
  entry.blockUsed = entry.blockFilled = 0;
  entry.atEnd = false;
  if (impl.callback != nullptr)
    impl.callback->m_nFileProcessedSize = 0;
  return 0;
}

// Reads the next block of the source into the engine's block buffer. False on a failure, which
// the entry's error describes.
bool FillBlock(Entry& entry, ZipEngineState& impl) {
  const auto want = static_cast<uint32_t>(impl.blockSize);
  if (impl.blockAllocated < want) {
    impl.block = std::make_unique_for_overwrite<uint8_t[]>(want);
    impl.blockAllocated = want;
  }
  uint32_t n = 0;
  if (entry.fileData) {
    try {
      n = entry.file.Read(impl.block.get(), want);
      entry.atEnd = n < want;  // the read stops short only at the end of the file
    } catch (const CFileException& e) {
      zip_error_set(&entry.error, ZIP_ER_READ, static_cast<int>(e.m_lOsError));
      return false;
    }
  } else {
    impl.callback->ReadItemData(entry.key, impl.block.get(), want, &n);
    if (n > want) {
      zip_error_set(&entry.error, ZIP_ER_READ, 0);
      return false;
    }
  }
  entry.blockUsed = 0;
  entry.blockFilled = n;
  impl.Counted(n);
  return true;
}

// The source is read a whole block at a time (one read, one progress report per block);
// libzip takes it from the block in the pieces it asks for.
zip_int64_t ReadSource(Entry& entry, ZipEngineState& impl, void* data, zip_uint64_t len) {
  if (entry.blockUsed == entry.blockFilled) {
    if (impl.stopped) {
      zip_error_set(&entry.error, ZIP_ER_CANCELLED, 0);
      return -1;
    }
    if (entry.fileData && entry.atEnd)
      return 0;
    if (!FillBlock(entry, impl))
      return -1;
  }
  const size_t n = std::min<size_t>(len, entry.blockFilled - entry.blockUsed);
  std::memcpy(data, impl.block.get() + entry.blockUsed, n);
  entry.blockUsed += n;
  return static_cast<zip_int64_t>(n);
}

zip_int64_t CloseSource(Entry& entry, ZipEngineState& impl) {
  if (entry.fileData) {
    entry.file.Abort();
  } else if (entry.streamOpen) {
    entry.streamOpen = false;
    impl.callback->CloseItemData(entry.key, 0);
  }
  return 0;
}

zip_int64_t StatSource(Entry& entry, void* data) {
  auto* st = static_cast<zip_stat_t*>(data);
  zip_stat_init(st);
  entry.StatSource();
  if (entry.haveMtime) {
    st->mtime = entry.mtime;
    st->valid |= ZIP_STAT_MTIME;
  }
  return sizeof(zip_stat_t);
}

zip_int64_t SourceCallback(void* userdata, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
  Entry& entry = *static_cast<Entry*>(userdata);
  ZipEngineState& impl = *entry.owner;
  switch (cmd) {
    case ZIP_SOURCE_OPEN:
      return OpenSource(entry, impl);
    case ZIP_SOURCE_READ:
      return ReadSource(entry, impl, data, len);
    case ZIP_SOURCE_CLOSE:
      return CloseSource(entry, impl);
    case ZIP_SOURCE_STAT:
      return StatSource(entry, data);
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&entry.error, data, len);
    case ZIP_SOURCE_FREE:
      return 0;  // the entry belongs to the engine
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
      zip_error_set(&entry.error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

void LogSystemFailure(const std::wstring& archive, DWORD error) {
  const CFileException e(CFileException::OsErrorToException(static_cast<long>(error)),
                         static_cast<long>(error), archive.c_str());
  LogFailure(kArchiveFailed, L"Failed to write archive", archive, e.what());
}

// Writes the archive made in memory to its path, created anew (an archive already there is
// replaced, as libzip's rename would replace it). On any failure nothing is left at the path.
bool WriteArchive(zip_source_t* memory, const std::wstring& archive, ZipEngineState& impl,
                  uint64_t& written) {
  HANDLE file = CreateFileW(archive.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS &&
      DeleteFileW(archive.c_str())) {
    file = CreateFileW(archive.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) {
    LogSystemFailure(archive, GetLastError());
    return false;
  }
  if (impl.blockAllocated == 0) {
    impl.block = std::make_unique_for_overwrite<uint8_t[]>(impl.blockSize);
    impl.blockAllocated = impl.blockSize;
  }
  DWORD error = ERROR_SUCCESS;
  const char* detail = nullptr;
  written = 0;
  if (zip_source_open(memory) != 0) {
    detail = "the archive made in memory cannot be read";
  } else {
    for (;;) {
      const zip_int64_t n = zip_source_read(memory, impl.block.get(), impl.blockAllocated);
      if (n <= 0) {
        if (n < 0)
          detail = "the archive made in memory cannot be read";
        break;
      }
      DWORD done = 0;
      if (!WriteFile(file, impl.block.get(), static_cast<DWORD>(n), &done, nullptr) ||
          done != static_cast<DWORD>(n)) {
        error = GetLastError();
        break;
      }
      written += static_cast<uint64_t>(n);
    }
    zip_source_close(memory);
  }
  if (!CloseHandle(file) && error == ERROR_SUCCESS && detail == nullptr)
    error = GetLastError();
  if (error == ERROR_SUCCESS && detail == nullptr)
    return true;
  DeleteFileW(archive.c_str());
  if (detail != nullptr)
    LogFailure(kArchiveFailed, L"Failed to write archive", archive, detail);
  else
    LogSystemFailure(archive, error);
  return false;
}

int CancelCallback(zip_t*, void* state) {
  return static_cast<ZipEngineState*>(state)->AbortRequested() ? 1 : 0;
}

zip_uint16_t AesMethod(_AESStrength strength) {
  switch (strength) {
    case AESStrength128:
      return ZIP_EM_AES_128;
    case AESStrength192:
      return ZIP_EM_AES_192;
    default:
      return ZIP_EM_AES_256;
  }
}

}  // namespace

COrv_ZIP::COrv_ZIP() : m_pImpl(std::make_unique<Impl>()) {}
COrv_ZIP::~COrv_ZIP() = default;

int COrv_ZIP::Initialize(const wchar_t* lpszReserved) {
  m_pImpl->initialized = (lpszReserved == nullptr || *lpszReserved == L'\0') &&
                         orv::platform::fault::Check(orv::platform::fault::Op::StartEngine) == 0;
  return m_pImpl->initialized ? 1 : 0;
}

void COrv_ZIP::SetCallBack(COrvCallBack* pCallBack) {
  m_pImpl->callback = pCallBack;
}
void COrv_ZIP::SetCallBackType(_CallBackType) {}
void COrv_ZIP::SetFilesProcessType(CArchiveItem::_AddItemType) {}

void COrv_ZIP::SetBufferCapacity(uint64_t nCapacity, int bRound) {
  if (bRound)
    nCapacity = RoundBufferCapacity(nCapacity);
  m_pImpl->blockSize = nCapacity == 0 || nCapacity > UINT32_MAX ? kDefaultBlock : nCapacity;
}

void COrv_ZIP::SetCompressionLevel(int nLevel) {
  m_pImpl->level = std::clamp(nLevel, 0, 9);
}
void COrv_ZIP::SetEngineType(_EngineType eType) {
  m_pImpl->engine = eType;
}
void COrv_ZIP::SetEncryptionType(_EncryptionType eType) {
  m_pImpl->encryption = eType;
}
void COrv_ZIP::SetAESType(_AESStrength eStrength) {
  m_pImpl->strength = eStrength;
}

void COrv_ZIP::SetPassword(const wchar_t* lpszPassword) {
  m_pImpl->password = Utf8(orv::platform::OrEmpty(lpszPassword));
}

int COrv_ZIP::SetZipFileName(const wchar_t* lpszFileName) {
  m_pImpl->fileName = orv::platform::OrEmpty(lpszFileName);
  return m_pImpl->fileName.empty() ? 0 : 1;
}

int COrv_ZIP::SetZipOutputPath(const wchar_t* lpszOutputPath) {
  m_pImpl->outputPath = orv::platform::OrEmpty(lpszOutputPath);
  return 1;
}

int COrv_ZIP::AddItem(const wchar_t* lpszSourcePath, const wchar_t* lpszComment,
                      const wchar_t* lpszNameInArchive, uint64_t nItemKey, int bFileData,
                      int nReserved1, int nReserved2, CArchiveItem::_AddItemType eType,
                      uint32_t dwFlags) {
  if (lpszNameInArchive == nullptr || *lpszNameInArchive == L'\0' || nReserved1 != 0 ||
      nReserved2 != 0 || dwFlags != 0 || eType != CArchiveItem::AddItemFile) {
    return 0;
  }
  auto entry = std::make_unique<Entry>();
  entry->owner = m_pImpl.get();
  entry->sourcePath = orv::platform::OrEmpty(lpszSourcePath);
  entry->comment = orv::platform::OrEmpty(lpszComment);
  std::string name;
  entry->name =
      orv::platform::WideToNative(lpszNameInArchive, name) ? name : Utf8(lpszNameInArchive);
  entry->key = nItemKey;
  entry->fileData = bFileData != 0;
  zip_error_init(&entry->error);
  m_pImpl->entries.push_back(std::move(entry));
  return 1;
}

namespace {

// Adds every entry to the archive with its compression, encryption and comment. False (logged)
// when libzip refuses one.
bool AddEntries(zip_t* za, const ZipEngineState& impl, const std::wstring& archive) {
  for (const auto& entry : impl.entries) {
    zip_source_t* source = zip_source_function(za, SourceCallback, entry.get());
    const zip_int64_t index =
        source == nullptr ? -1 : zip_file_add(za, entry->name.c_str(), source, ZIP_FL_ENC_GUESS);
    if (index < 0) {
      if (source != nullptr)
        zip_source_free(source);
      LogFailure(kEntryFailed, L"Failed to add archive entry", archive, zip_strerror(za));
      return false;
    }
    const auto i = static_cast<zip_uint64_t>(index);
    bool ok = zip_set_file_compression(za, i, impl.level == 0 ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                                       static_cast<zip_uint32_t>(impl.level)) == 0;
    if (ok && impl.encryption == EncryptionTypeWinZipAES) {
      ok = zip_file_set_encryption(za, i, AesMethod(impl.strength), impl.password.c_str()) == 0;
    }
    if (ok && !entry->comment.empty()) {
      const std::string comment = Utf8(entry->comment);
      ok = zip_file_set_comment(za, i, comment.c_str(), static_cast<zip_uint16_t>(comment.size()),
                                ZIP_FL_ENC_UTF_8) == 0;
    }
    if (!ok) {
      LogFailure(kEntryFailed, L"Failed to add archive entry", archive, zip_strerror(za));
      return false;
    }
  }
  return true;
}

}  // namespace

namespace {

// The libzip buffer that an archive made in memory is written into. The engine keeps its own
// reference, so that it can write the buffer out after libzip is done with it.
struct MemoryArchive {
  zip_source_t* source = nullptr;
  MemoryArchive() = default;
  MemoryArchive(const MemoryArchive&) = delete;
  MemoryArchive& operator=(const MemoryArchive&) = delete;
  ~MemoryArchive() {
    if (source != nullptr)
      zip_source_free(source);
  }
};

// The engine is configured for a run and the archive path has a native form. Logged when not.
bool ReadyToZip(const ZipEngineState& impl, const std::wstring& archive, std::string& nativePath) {
  if (!impl.initialized || impl.engine != EngineTypeZip || impl.fileName.empty() ||
      (impl.encryption == EncryptionTypeWinZipAES && impl.password.empty())) {
    LogFailure(kArchiveFailed, L"Failed to create archive", archive, "the engine is not set up");
    return false;
  }
  if (!orv::platform::WideToNative(archive, nativePath)) {
    LogFailure(kArchiveFailed, L"Failed to create archive", archive, "not a valid file name");
    return false;
  }
  return true;
}

// Looks up every source. The archive is made in memory when all are files of known times
// and their bytes are few enough.
bool ZipInMemory(ZipEngineState& impl) {
  uint64_t sourceBytes = 0;
  bool inMemory = true;
  for (const auto& entry : impl.entries) {
    entry->StatSource();
    inMemory = inMemory && entry->fileData && entry->haveMtime;
    sourceBytes += entry->size;
  }
  return inMemory && sourceBytes <= kInMemoryLimit;
}

// Opens the archive in memory or at its path; null (logged) when libzip cannot.
zip_t* OpenArchive(bool inMemory, const std::string& nativePath, const std::wstring& archive,
                   MemoryArchive& memory) {
  zip_error_t ze;
  zip_error_init(&ze);
  zip_t* za = nullptr;
  if (inMemory) {
    memory.source = zip_source_buffer_create(nullptr, 0, 0, &ze);
    if (memory.source != nullptr) {
      zip_source_keep(memory.source);
      za = zip_open_from_source(memory.source, ZIP_CREATE | ZIP_TRUNCATE, &ze);
      if (za == nullptr)
        zip_source_free(memory.source);  // the reference the archive would have taken
    }
  } else {
    int error = 0;
    za = zip_open(nativePath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    zip_error_set(&ze, error, 0);
  }
  if (za == nullptr)
    LogFailure(kArchiveFailed, L"Failed to create archive", archive, zip_error_strerror(&ze));
  zip_error_fini(&ze);
  return za;
}

// libzip completes the archive in memory, or writes a temporary file next to the archive and
// renames it when complete. The status of the run, with the bytes of the archive written.
int CloseArchive(zip_t* za, ZipEngineState& impl, const std::wstring& archive,
                 MemoryArchive& memory, uint64_t& written) {
  if (zip_close(za) != 0) {
    const bool stopped = impl.stopped;
    if (!stopped)
      LogFailure(kArchiveFailed, L"Failed to write archive", archive, zip_strerror(za));
    zip_discard(za);
    return stopped ? ZipStopped : ZipFailed;
  }
  if (memory.source != nullptr)
    return WriteArchive(memory.source, archive, impl, written) ? ZipDone : ZipFailed;
  WIN32_FILE_ATTRIBUTE_DATA info{};
  written =
      GetFileAttributesExW(archive.c_str(), GetFileExInfoStandard, &info) ? FileSize(info) : 0;
  return ZipDone;
}

}  // namespace

int COrv_ZIP::DoZip(uint64_t nProcessedBase) {
  ZipEngineState& impl = *m_pImpl;
  const std::wstring archive = impl.ArchivePath();
  std::string nativePath;
  if (!ReadyToZip(impl, archive, nativePath))
    return ZipFailed;
  impl.NameEntriesApartFromTheArchive();
  impl.base = nProcessedBase;
  impl.read = 0;
  impl.stopped = false;
  if (impl.callback != nullptr) {
    impl.callback->m_nProcessedSize = 0;
    impl.callback->m_nTotalProcessedSize = impl.callback->m_nProcessedPos = nProcessedBase;
  }

  MemoryArchive memory;
  zip_t* za = OpenArchive(ZipInMemory(impl), nativePath, archive, memory);
  if (za == nullptr)
    return ZipFailed;
  zip_register_cancel_callback_with_state(za, CancelCallback, nullptr, &impl);
  if (!AddEntries(za, impl, archive)) {
    zip_discard(za);
    return ZipFailed;
  }
  uint64_t written = 0;
  const int result = CloseArchive(za, impl, archive, memory, written);
  if (result == ZipDone && impl.callback != nullptr) {
    impl.callback->m_nProcessedSize = written;
    impl.callback->m_ProcessedStatus.m_nTotalOutputSize += written;
  }
  return result;
}

}  // namespace OrvCompression
