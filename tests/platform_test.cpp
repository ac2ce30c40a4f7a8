// The platform layer behaves as the Windows calls do, as far as the manager can see.
#include <orv_platform/fault_injection_test_helper.h>
#include <orv_platform/filetime.h>
#include <orv_platform/framework.h>
#include <orv_platform/utf.h>
#include <orv_platform/win32.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>

namespace fault = orv::platform::fault;
using orv::platform::NativeToWide;
using orv::platform::WideToNative;

namespace {

using orvtest::N;

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { fault::Reset(); }
  void TearDown() override { fault::Reset(); }

  HANDLE Open(const std::wstring& path, DWORD access, DWORD disposition, DWORD flags = 0) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | flags, nullptr);
  }

  orvtest::TempDir dir;
};

// --- Encoding of file names -------------------------------------------------------------

TEST(Utf, AnyByteStringRoundTripsThroughWide) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(rng() % 24, '\0');
    for (char& b : bytes) {
      b = static_cast<char>(1 + rng() % 255);  // file names hold no NUL
    }
    std::string back;
    ASSERT_TRUE(WideToNative(NativeToWide(bytes), back));
    ASSERT_EQ(back, bytes);
  }
}

TEST(Utf, ValidUtf8DecodesToCodePointsAndInvalidBytesEscape) {
  EXPECT_EQ(NativeToWide("a\xC3\xA9\xF0\x9F\x98\x80"), std::wstring(L"a\u00E9\U0001F600"));
  EXPECT_EQ(NativeToWide("\xF4\x8F\xBF\xBF"), std::wstring(L"\U0010FFFF"));  // the last one
  // A lone continuation byte, an overlong '/' and an encoded surrogate are not UTF-8.
  EXPECT_EQ(NativeToWide("\x80"), std::wstring(1, wchar_t(0xDC80)));
  EXPECT_EQ(NativeToWide("\xC0\xAF"), (std::wstring{wchar_t(0xDCC0), wchar_t(0xDCAF)}));
  EXPECT_EQ(NativeToWide("\xED\xA0\x80").size(), 3u);
}

TEST(Utf, CodePointsWithoutBytesAreRefused) {
  std::string out;
  EXPECT_FALSE(WideToNative(std::wstring(1, wchar_t(0xD800)), out));
  EXPECT_FALSE(WideToNative(std::wstring(1, wchar_t(0xDC7F)), out));
  if constexpr (sizeof(wchar_t) == 4) {  // a 16-bit wchar_t cannot hold it
    EXPECT_FALSE(WideToNative(std::wstring(1, static_cast<wchar_t>(0x110000)), out));
  }
  EXPECT_FALSE(WideToNative(std::wstring(1, L'\0'), out));
  EXPECT_EQ(orv::platform::WideToUtf8Lossy(std::wstring(1, wchar_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(Utf, Utf16KeepsAstralCharactersAndEscapedBytes) {
  const std::wstring wide = NativeToWide("x\xF0\x9F\x98\x80\xFFy");
  const std::u16string utf16 = orv::platform::WideToUtf16(wide);
  EXPECT_EQ(utf16, (std::u16string{u'x', 0xD83D, 0xDE00, 0xDCFF, u'y'}));
  EXPECT_EQ(orv::platform::Utf16ToWide(utf16), wide);
}

// --- Opening files ----------------------------------------------------------------------

TEST_F(PlatformTest, OpenFailuresGiveTheWindowsErrorCodes) {
  struct Case {
    std::wstring path;
    DWORD error;
  };
  [[maybe_unused]] const std::string tooLong(5000, 'a');
  const std::vector<Case> cases = {
    {dir.W("missing.txt"), ERROR_FILE_NOT_FOUND},
    {dir.W("no/such/folder/file.txt"), ERROR_PATH_NOT_FOUND},
    {L"", ERROR_PATH_NOT_FOUND},
#if !defined(_WIN32)  // Windows: a name may hold a lone surrogate; long names depend on settings
    {dir.W() + L"/" + NativeToWide(tooLong), ERROR_FILENAME_EXCED_RANGE},
    {dir.W() + L"/" + std::wstring(300, L'n'), ERROR_FILENAME_EXCED_RANGE},
    {dir.W() + L"/bad" + wchar_t(0xD800), ERROR_INVALID_NAME},
#endif
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(Open(c.path, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error) << orv::platform::WideToUtf8Lossy(c.path).substr(0, 80);
  }
  EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(PlatformTest, DispositionsCreateTruncateAndReportExistingFiles) {
  const std::wstring path = dir.W("f.bin");
  HANDLE h = Open(path, GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, "hello", 5, &written, nullptr));
  EXPECT_EQ(written, 5u);
  ASSERT_TRUE(CloseHandle(h));

  EXPECT_EQ(Open(path, GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

  h = Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  LARGE_INTEGER size{};
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, 5);  // OPEN_ALWAYS keeps the content
  CloseHandle(h);

  h = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, 0);  // CREATE_ALWAYS truncates
  CloseHandle(h);
}

TEST_F(PlatformTest, FoldersOpenOnlyWithBackupSemanticsAndSpecialFilesNever) {
  EXPECT_EQ(Open(dir.W(), GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE h = Open(dir.W(), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);

#if !defined(_WIN32)  // named pipes live in the file system on POSIX only
  // A pipe nobody writes to would block a reader forever: it is refused at once.
  const std::string fifo = (dir.Path() / "pipe").native();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Open(NativeToWide(fifo), GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
#endif
}

TEST_F(PlatformTest, ReadOnlyFilesRefuseWritingAndDeletionAsOnWindows) {
  if (orvtest::UnderWine())
    GTEST_SKIP() << "Wine keeps the read-only attribute as permissions, which root ignores";
  const std::wstring path = dir.WriteFile("ro.txt", "data");
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(Open(path, GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE h = Open(path, GENERIC_READ, OPEN_EXISTING);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);

  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  EXPECT_FALSE(PathFileExistsW(path.c_str()));
}

// --- Data, positions and times ----------------------------------------------------------

TEST_F(PlatformTest, SeekingBeforeTheStartFails) {
  HANDLE h = Open(dir.WriteFile("s.bin", "0123456789"), GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LARGE_INTEGER distance{}, position{};
  distance.QuadPart = -3;
  ASSERT_TRUE(SetFilePointerEx(h, distance, &position, FILE_END));
  EXPECT_EQ(position.QuadPart, 7);
  distance.QuadPart = -1;
  EXPECT_FALSE(SetFilePointerEx(h, distance, &position, FILE_BEGIN));
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  CloseHandle(h);
}

TEST_F(PlatformTest, FileTimesAreFiletimesAndSurviveARoundTrip) {
  HANDLE h = Open(dir.WriteFile("t.bin", "x"), GENERIC_WRITE, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // 2000-01-01 00:00:00 UTC plus 1.2345678 s, in 100 ns units since 1601.
  const uint64_t ticks = 125911584000000000ULL + 12345678ULL;
  const FILETIME write{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  const FILETIME access{static_cast<DWORD>(ticks + 10000000),
                        static_cast<DWORD>((ticks + 10000000) >> 32)};
  ASSERT_TRUE(SetFileTime(h, nullptr, &access, &write));
  FILETIME gotCreation{}, gotAccess{}, gotWrite{};
  ASSERT_TRUE(GetFileTime(h, &gotCreation, &gotAccess, &gotWrite));
  EXPECT_EQ(gotWrite.dwLowDateTime, write.dwLowDateTime);
  EXPECT_EQ(gotWrite.dwHighDateTime, write.dwHighDateTime);
  EXPECT_EQ(gotAccess.dwLowDateTime, access.dwLowDateTime);
  EXPECT_NE(gotCreation.dwHighDateTime, 0u);
  CloseHandle(h);

  // By name, the same times as through a handle.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  const std::wstring path = dir.W("t.bin");
  ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(orv::platform::FileTimeTicks(data.ftLastWriteTime), ticks);
  EXPECT_EQ(orv::platform::FileTimeTicks(data.ftCreationTime),
            orv::platform::FileTimeTicks(gotCreation));
  EXPECT_EQ(data.nFileSizeLow, 1u);
  EXPECT_FALSE(GetFileAttributesExW(path.c_str(), static_cast<GET_FILEEX_INFO_LEVELS>(1), &data));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
#if !defined(_WIN32)  // Windows does not check for a missing result record
  EXPECT_FALSE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
#endif

#if !defined(_WIN32)  // the same time as the file system's own, to the 100 ns
  struct stat st {};
  ASSERT_EQ(::stat((dir.Path() / "t.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 946684801);
  EXPECT_EQ(st.st_mtim.tv_nsec, 234567800);
#endif
}

#if !defined(_WIN32)  // the POSIX layer's own: Windows reads a changing file from a shadow copy
// A handle that only reads keeps the length and times its open saw: the length until it first
// reads or moves, the times until they are set through it. Others see the file as it is now, and
// a descriptor number used again never inherits what an earlier file's open saw.
TEST_F(PlatformTest, AReadingHandleKeepsWhatItsOpenSaw) {
  const std::wstring path = dir.WriteFile("grows.bin", "12345");
  const std::string native = (dir.Path() / "grows.bin").string();
  const auto setWriteTime = [&](time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, native.c_str(), times, 0), 0);
  };
  const auto writeSeconds = [](HANDLE h) {
    FILETIME written{};
    EXPECT_TRUE(GetFileTime(h, nullptr, nullptr, &written));
    const uint64_t ticks =
        (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000 - 11644473600LL);
  };
  const auto length = [](HANDLE h) {
    LARGE_INTEGER size{};
    EXPECT_TRUE(GetFileSizeEx(h, &size));
    return size.QuadPart;
  };
  setWriteTime(1000000000);

  HANDLE reader = Open(path, GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  std::ofstream(native, std::ios::app) << "6789";
  setWriteTime(1100000000);
  EXPECT_EQ(length(reader), 5);  // nothing read yet: what the open saw
  EXPECT_EQ(writeSeconds(reader), 1000000000);
  char buffer[16];
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(reader, buffer, 2, &got, nullptr));
  EXPECT_EQ(length(reader), 9);                 // after a read: the file as it is now
  EXPECT_EQ(writeSeconds(reader), 1000000000);  // the times of the data it began to read
  const uint64_t ticks = (1200000000ULL + 11644473600ULL) * 10000000ULL;
  const FILETIME set{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  ASSERT_TRUE(SetFileTime(reader, nullptr, nullptr, &set));
  EXPECT_EQ(writeSeconds(reader), 1200000000);
  ASSERT_TRUE(CloseHandle(reader));

  // Moving through the handle ends the length seen at the open just as reading does.
  reader = Open(path, GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  std::ofstream(native, std::ios::app) << "0";
  ASSERT_TRUE(SetFilePointerEx(reader, LARGE_INTEGER{}, nullptr, FILE_BEGIN));
  EXPECT_EQ(length(reader), 10);
  ASSERT_TRUE(CloseHandle(reader));

  // The writer that gets the same descriptor number sees its own file.
  HANDLE writer = Open(dir.Path().wstring() + L"/new.bin", GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WriteFile(writer, "abc", 3, &got, nullptr));
  EXPECT_EQ(length(writer), 3);
  EXPECT_GT(writeSeconds(writer), 1200000000);
  ASSERT_TRUE(CloseHandle(writer));
}
#endif

// --- Attributes, deletion, folders ------------------------------------------------------

TEST_F(PlatformTest, AttributesFollowTheFileKindPermissionsAndName) {
  dir.WriteFile("plain.txt", "x");
  // Windows marks a new file for archiving; POSIX has no such bit.
  constexpr DWORD kIgnored = FILE_ATTRIBUTE_ARCHIVE;
  const auto attributes = [](const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a == INVALID_FILE_ATTRIBUTES ? a : a & ~kIgnored;
  };
  EXPECT_EQ(attributes(dir.W()), FILE_ATTRIBUTE_DIRECTORY);
#if defined(_WIN32)
  EXPECT_EQ(attributes(dir.W("plain.txt")) & ~FILE_ATTRIBUTE_NORMAL, 0u);
#else  // POSIX has no archive bit, and no hidden bit: a name that starts with a dot is hidden
  EXPECT_EQ(attributes(dir.W("plain.txt")), FILE_ATTRIBUTE_NORMAL);
  dir.WriteFile(".hidden", "x");
  EXPECT_EQ(attributes(dir.W(".hidden")), FILE_ATTRIBUTE_HIDDEN);
#endif
  EXPECT_EQ(GetFileAttributesW(dir.W("gone").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(PathIsDirectoryW(dir.W().c_str()));
  EXPECT_FALSE(PathIsDirectoryW(dir.W("plain.txt").c_str()));
  EXPECT_TRUE(PathFileExistsW(dir.W("plain.txt").c_str()));
}

TEST_F(PlatformTest, DeletionAndFolderRemovalReportWhyTheyFailed) {
  ASSERT_TRUE(CreateDirectoryW(dir.W("sub").c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryW(dir.W("sub").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  dir.WriteFile("sub/f", "x");
  EXPECT_FALSE(DeleteFileW(dir.W("sub").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(RemoveDirectoryW(dir.W("sub").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(RemoveDirectoryW(dir.W("sub/f").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
  EXPECT_TRUE(DeleteFileW(dir.W("sub/f").c_str()));
  EXPECT_FALSE(DeleteFileW(dir.W("sub/f").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(RemoveDirectoryW(dir.W("sub").c_str()));
}

// --- Temporary folder and path strings --------------------------------------------------

TEST(PlatformPaths, TempPathHonoursTheVariableAndEndsInTheSeparator) {
  orvtest::TempDir dir;
  const std::wstring expected = dir.W() + N(L"/");
  wchar_t buffer[MAX_PATH];
  {
    const orvtest::ScopedTempFolderVariable temp(dir.Path());
    EXPECT_EQ(GetTempPathW(MAX_PATH, buffer), expected.size());
    EXPECT_EQ(buffer, expected);
    EXPECT_EQ(GetTempPathW(4, buffer), expected.size() + 1);  // too small: the size needed
  }
#if !defined(_WIN32)  // Windows falls back on TEMP and the user's profile
  const orvtest::ScopedTempFolderVariable none({});
  EXPECT_EQ(GetTempPathW(MAX_PATH, buffer), 5u);
  EXPECT_STREQ(buffer, L"/tmp/");
#endif
}

TEST(PlatformPaths, ShellPathFunctionsUseTheNativeSeparator) {
  wchar_t buffer[MAX_PATH];
  lstrcpyW(buffer, N(L"a/b").c_str());
  EXPECT_STREQ(PathAddBackslashW(buffer), L"");
  EXPECT_EQ(std::wstring(buffer), N(L"a/b/"));
  PathAddBackslashW(buffer);
  EXPECT_EQ(std::wstring(buffer), N(L"a/b/"));  // never doubled
  wchar_t empty[MAX_PATH] = L"";
  PathAddBackslashW(empty);
  EXPECT_STREQ(empty, L"");
#if !defined(_WIN32)  // Windows appends to 259 characters, leaving no room for the terminator
  // A path that leaves no room for separator and terminator is not touched.
  wchar_t full[MAX_PATH];
  std::wstring longest(MAX_PATH - 1, L'x');
  std::copy(longest.c_str(), longest.c_str() + longest.size() + 1, full);
  EXPECT_EQ(PathAddBackslashW(full), nullptr);
  EXPECT_EQ(std::wstring(full), longest);
#endif

  EXPECT_STREQ(PathFindFileNameW(N(L"/x/y.doc").c_str()), L"y.doc");
  EXPECT_STREQ(PathFindFileNameW(L"y.doc"), L"y.doc");
  EXPECT_EQ(std::wstring(PathFindFileNameW(N(L"/x/y/").c_str())), N(L"y/"));
  EXPECT_STREQ(PathFindExtensionW(N(L"/a.dir/file.tar.gz").c_str()), L".gz");
  EXPECT_STREQ(PathFindExtensionW(N(L"/a.dir/file").c_str()), L"");
  EXPECT_STREQ(PathFindExtensionW(L"name. txt"), L"");

  wchar_t ext[MAX_PATH];
  lstrcpyW(ext, N(L"/d/file.venc").c_str());
  PathRemoveExtensionW(ext);
  EXPECT_EQ(std::wstring(ext), N(L"/d/file"));

  const std::vector<std::pair<std::wstring, std::wstring>> removals = {
      {N(L"/a/b/c.txt"), N(L"/a/b")},
      {N(L"/a"), N(L"/")},
      {L"a", L""},
      {N(L"a/b/"), N(L"a/b")},
      {N(L"/"), N(L"/")}};
  for (const auto& [in, out] : removals) {
    wchar_t path[MAX_PATH];
    std::copy(in.c_str(), in.c_str() + in.size() + 1, path);
    PathRemoveFileSpecW(path);
    EXPECT_EQ(std::wstring(path), out) << orv::platform::WideToUtf8Lossy(in);
  }
  EXPECT_EQ(lstrlenW(nullptr), 0);
  EXPECT_EQ(lstrlenW(L"abc"), 3);
  wchar_t copy[8];
  EXPECT_STREQ(lstrcpyW(copy, L"abc"), L"abc");
}

// --- The framework's CFile and fault injection ------------------------------------------

TEST_F(PlatformTest, CFileOpenReportsFailureWithoutThrowing) {
  CFile file;
  CFileException error;
  EXPECT_FALSE(file.Open(dir.W("none").c_str(), CFile::modeRead, &error));
  EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
  EXPECT_EQ(error.m_lOsError, 2);
  EXPECT_EQ(error.m_strFileName, dir.W("none"));
  wchar_t text[256];
  EXPECT_TRUE(error.GetErrorMessage(text, 256));
  EXPECT_NE(std::wstring(text).find(L"was not found"), std::wstring::npos);
  EXPECT_THROW(file.Read(text, 4), CFileException);  // not open
}

TEST_F(PlatformTest, CFileCreateNewRefusesAnExistingFileAndLeavesItAlone) {
  const std::wstring path = dir.W("new.bin");
  CFile file;
  ASSERT_TRUE(file.Open(path.c_str(), CFile::modeWrite | CFile::modeCreateNew));
  file.Write("abc", 3);
  file.Close();
  CFileException error;
  EXPECT_FALSE(
      file.Open(path.c_str(), CFile::modeWrite | CFile::modeCreate | CFile::modeCreateNew, &error));
  EXPECT_EQ(error.m_lOsError, static_cast<long>(ERROR_FILE_EXISTS));
  EXPECT_EQ(orvtest::ReadFile(dir.Path() / "new.bin"), "abc");  // not truncated
}

TEST_F(PlatformTest, InjectedFaultsHitTheChosenCallAndThrowTheMappedCause) {
  const std::wstring path = dir.WriteFile("f.bin", std::string(100, 'x'));
  CFile file;
  ASSERT_TRUE(file.Open(path.c_str(), CFile::modeRead));
  char buffer[10];
  fault::FailNth(fault::Op::Read, 2, EIO);
  EXPECT_EQ(file.Read(buffer, 10), 10u);
  try {
    file.Read(buffer, 10);
    FAIL() << "the second read should fail";
  } catch (const CException& e) {  // caught through the base, as a host would
    const auto& fe = dynamic_cast<const CFileException&>(e);
    EXPECT_EQ(fe.m_cause, CFileException::hardIO);
    EXPECT_EQ(fe.m_lOsError, static_cast<long>(ERROR_IO_DEVICE));
    EXPECT_NE(std::string(e.what()).find("f.bin"), std::string::npos);
  }
  EXPECT_EQ(file.Read(buffer, 10), 10u);  // only that one call fails
  EXPECT_EQ(fault::Calls(fault::Op::Read), 3u);

  CFile out;
  ASSERT_TRUE(out.Open(dir.W("o.bin").c_str(), CFile::modeCreate | CFile::modeWrite));
  fault::FailNth(fault::Op::Write, 1, ENOSPC);
  try {
    out.Write("x", 1);
    FAIL() << "the write should fail";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_cause, CFileException::diskFull);
    EXPECT_EQ(e.m_lOsError, static_cast<long>(ERROR_DISK_FULL));
  }
}

TEST_F(PlatformTest, InjectedOpenFaultsMapLikeRealOnes) {
  const std::wstring path = dir.WriteFile("f.bin", "x");
  const std::vector<std::pair<int, DWORD>> cases = {{ENOSPC, ERROR_DISK_FULL},
                                                    {EACCES, ERROR_ACCESS_DENIED},
                                                    {EIO, ERROR_IO_DEVICE},
                                                    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
                                                    {EBUSY, ERROR_SHARING_VIOLATION}};
  for (const auto& [err, expected] : cases) {
    fault::FailNth(fault::Op::Open, 1, err);
    EXPECT_EQ(Open(path, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), expected) << err;
  }
  HANDLE h = Open(path, GENERIC_READ, OPEN_EXISTING);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

}  // namespace
