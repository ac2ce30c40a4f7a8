// Folder creation and forced deletion.
#include <OrvCopy/external/OrvGlobalMFC.h>
#include <orv_platform/win32.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(FileServices, CreateFolderMakesEveryMissingParentAndFailsWhereAFileStandsInTheWay) {
  orvtest::TempDir dir;
  EXPECT_NE(OrvCreateFolder(dir.W("a/b/c").c_str()), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "a/b/c"));
  EXPECT_NE(OrvCreateFolder((dir.W("a/b/c") + L"/").c_str()), 0);
  EXPECT_EQ(OrvCreateFolder(L""), 0);
  EXPECT_EQ(OrvCreateFolder(nullptr), 0);
  dir.WriteFile("file", "x");
  EXPECT_EQ(OrvCreateFolder(dir.W("file").c_str()), 0);
  EXPECT_EQ(OrvCreateFolder(dir.W("file/sub").c_str()), 0);
  EXPECT_TRUE(std::filesystem::is_regular_file(dir.Path() / "file"));
}

TEST(FileServices, DeleteFileExRemovesReadOnlyFilesWhenForced) {
  orvtest::TempDir dir;
  const std::wstring path = dir.WriteFile("ro.txt", "x");
  orvtest::MakeReadOnly(dir.Path() / "ro.txt");
  EXPECT_EQ(OrvDeleteFileEx(path.c_str(), 0), 0);  // Windows keeps a read-only file
  EXPECT_TRUE(std::filesystem::exists(dir.Path() / "ro.txt"));
  EXPECT_NE(OrvDeleteFileEx(path.c_str(), 1), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "ro.txt"));
  EXPECT_NE(OrvDeleteFileEx(path.c_str(), 1), 0);     // nothing left: success
  EXPECT_EQ(OrvDeleteFileEx(dir.W().c_str(), 1), 0);  // a folder is not a file
  EXPECT_TRUE(std::filesystem::exists(dir.Path()));
}

TEST(FileServices, EnsureFolderTakesAFolderOrTheFolderOfAFile) {
  orvtest::TempDir dir;
  EXPECT_NE(OrvEnsureFolderIsCreated(dir.W("x/y").c_str(), 1), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "x/y"));
  EXPECT_NE(OrvEnsureFolderIsCreated(dir.W("p/q/file.txt").c_str(), 0), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "p/q"));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "p/q/file.txt"));
  EXPECT_EQ(OrvEnsureFolderIsCreated(L"", 1), 0);
}

}  // namespace
