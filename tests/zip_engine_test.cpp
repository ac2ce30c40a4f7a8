// The ZIP engine against the tools people check archives with: unzip, 7z, libzip and zlib.
#include <OrvCopy/external/OrvComp.h>
#include <orv_platform/fault_injection_test_helper.h>

#include "support/RecordingHost.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <cstdlib>
#include <random>

using OrvCompression::COrv_ZIP;
namespace fs = std::filesystem;

namespace {

std::string TextLike(size_t n, unsigned seed = 1) {
  static const char* words[] = {"backup ", "volume ", "archive ", "restore ", "item ", "key\n"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n)
    s += words[rng() % 6];
  s.resize(n);
  return s;
}

int Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

class ZipEngine : public ::testing::Test {
 protected:
  // Configures an engine as the compression hand-off does and adds one entry.
  void Configure(COrv_ZIP& zip, const std::wstring& source, const std::wstring& name,
                 int bFileData = 1, uint64_t key = 1) {
    ASSERT_EQ(zip.Initialize(L""), 1);
    zip.SetCallBack(&host);
    zip.SetCallBackType(OrvCompression::CallBackTypeHost);
    zip.SetFilesProcessType(OrvCompression::CArchiveItem::ProcessEachAsGiven);
    zip.SetBufferCapacity(65856, 1);
    zip.SetCompressionLevel(6);
    zip.SetEngineType(OrvCompression::EngineTypeZip);
    zip.SetZipFileName(L"a.doc");
    zip.SetZipOutputPath(dir.W("out").c_str());
    fs::create_directories(dir.Path() / "out");
    ASSERT_EQ(zip.AddItem(source.c_str(), L"", name.c_str(), key, bFileData, 0, 0,
                          OrvCompression::CArchiveItem::AddItemFile, 0),
              1);
  }
  fs::path Archive() const { return dir.Path() / "out/a.doc"; }

  // The raw (compressed, encrypted) bytes and the encryption method of the first entry.
  std::pair<std::string, int> RawEntry() const {
    zip_t* za = zip_open(Archive().c_str(), ZIP_RDONLY, nullptr);
    EXPECT_NE(za, nullptr);
    zip_stat_t st;
    zip_stat_index(za, 0, 0, &st);
    std::string raw;
    if (st.encryption_method == ZIP_EM_NONE) {
      zip_file_t* f = zip_fopen_index(za, 0, ZIP_FL_COMPRESSED);
      raw.resize(st.comp_size);
      zip_fread(f, raw.data(), raw.size());
      zip_fclose(f);
    }
    zip_close(za);
    return {raw, st.encryption_method};
  }

  orvtest::TempDir dir;
  orvtest::RecordingHost host;
};

TEST_F(ZipEngine, APlainArchivePassesUnzipAndHoldsTheExactBytes) {
  const std::string content = TextLike(300000);
  const std::wstring source = dir.WriteFile("src/a.doc", content);
  COrv_ZIP zip;
  Configure(zip, source, L"a.doc");
  ASSERT_EQ(zip.DoZip(1000), 0);
  EXPECT_EQ(Shell("unzip -t " + Archive().native()), 0);
  EXPECT_EQ(Shell("cd " + dir.Path().native() + " && unzip -q -d x " + Archive().native()), 0);
  EXPECT_EQ(orvtest::ReadFile(dir.Path() / "x/a.doc"), content);
  // What the callback holds afterwards.
  EXPECT_EQ(host.m_nProcessedSize, fs::file_size(Archive()));
  EXPECT_EQ(host.m_nTotalProcessedSize, 1000u + content.size());
  EXPECT_EQ(host.m_ProcessedStatus.GetTotalProcessedSize(), content.size());
  EXPECT_EQ(host.m_ProcessedStatus.GetTotalOutputSize(), fs::file_size(Archive()));
  EXPECT_EQ(host.Count("progress"), 5u);  // one per block read: 4 of 65856 and the short last
  // Only the archive is left in its folder: libzip's temporary file is gone.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path() / "out"), fs::directory_iterator()), 1);
}

TEST_F(ZipEngine, AnEntryNamedLikeItsZipArchiveIsNamedWithoutTheZip) {
  const std::wstring source = dir.WriteFile("src/run.sh", "echo hi\n");
  COrv_ZIP zip;
  Configure(zip, source, L"run.sh.ZIP");
  zip.SetZipFileName(L"run.sh.ZIP");
  ASSERT_EQ(zip.DoZip(0), 0);
  EXPECT_EQ(Shell("cd " + dir.Path().native() + " && unzip -q -d x out/run.sh.ZIP"), 0);
  EXPECT_EQ(orvtest::ReadFile(dir.Path() / "x/run.sh"), "echo hi\n");
}

TEST_F(ZipEngine, TheLevelIsDeflateSixAsZlibWritesIt) {
  const std::string content = TextLike(200000, 2);
  COrv_ZIP zip;
  Configure(zip, dir.WriteFile("src/a", content), L"a");
  ASSERT_EQ(zip.DoZip(0), 0);
  const auto [raw, method] = RawEntry();
  EXPECT_EQ(method, ZIP_EM_NONE);
  auto rawDeflate = [&](int level) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, MAX_MEM_LEVEL, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, content.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
    z.avail_in = static_cast<uInt>(content.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
  };
  EXPECT_EQ(raw, rawDeflate(6));
  EXPECT_NE(raw, rawDeflate(1));
}

TEST_F(ZipEngine, AesArchivesPass7zWithTheRequestedStrength) {
  const std::string content = TextLike(100000, 3);
  const std::wstring source = dir.WriteFile("src/a.doc", content);
  const std::vector<std::pair<OrvCompression::_AESStrength, int>> strengths = {
      {OrvCompression::AESStrength128, ZIP_EM_AES_128},
      {OrvCompression::AESStrength192, ZIP_EM_AES_192},
      {OrvCompression::AESStrength256, ZIP_EM_AES_256}};
  for (const auto& [strength, method] : strengths) {
    COrv_ZIP zip;
    Configure(zip, source, L"a");
    zip.SetEncryptionType(OrvCompression::EncryptionTypeWinZipAES);
    zip.SetAESType(strength);
    zip.SetPassword(L"zip password");
    ASSERT_EQ(zip.DoZip(0), 0);
    EXPECT_EQ(RawEntry().second, method);
    const std::string archive = Archive().native();
    EXPECT_EQ(Shell("7z t '-pzip password' " + archive), 0) << method;
    EXPECT_NE(Shell("7z t -pwrong " + archive), 0);
    const auto out = dir.Path() / ("x" + std::to_string(method));
    ASSERT_EQ(Shell("7z x '-pzip password' -o" + out.native() + " " + archive), 0);
    EXPECT_EQ(orvtest::ReadFile(out / "a"), content);
  }
}

TEST_F(ZipEngine, HostStreamsAreReadThroughTheCallback) {
  const std::string content = TextLike(150000, 4);
  host.streams[9] = content;
  COrv_ZIP zip;
  Configure(zip, L"", L"stream.txt", 0, 9);
  ASSERT_EQ(zip.DoZip(0), 0);
  EXPECT_EQ(host.Events(), (std::vector<std::string>{"open 9", "close 9"}));
  ASSERT_EQ(Shell("cd " + dir.Path().native() + " && unzip -q -d x " + Archive().native()), 0);
  EXPECT_EQ(orvtest::ReadFile(dir.Path() / "x/stream.txt"), content);
}

TEST_F(ZipEngine, AStoppedOrFailedArchiveLeavesNothingAtItsPath) {
  const std::wstring source = dir.WriteFile("src/a", TextLike(400000, 5));
  host.abortAtCall = 2;
  COrv_ZIP stopped;
  Configure(stopped, source, L"a");
  EXPECT_EQ(stopped.DoZip(0), 60);
  EXPECT_FALSE(fs::exists(Archive()));
  EXPECT_TRUE(fs::is_empty(dir.Path() / "out"));

  host.abortAtCall = 0;
  orvtest::LogCapture log;
  dir.WriteFile("out/a.doc", "an earlier archive");
  COrv_ZIP failed;
  Configure(failed, dir.W("src/missing"), L"a");
  EXPECT_EQ(failed.DoZip(0), 62);
  EXPECT_EQ(orvtest::ReadFile(Archive()), "an earlier archive");
  EXPECT_EQ(log.Records().at(0).nSeverity, LOGGER::SeverityError);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path() / "out"), fs::directory_iterator()), 1);
}

TEST_F(ZipEngine, SmallArchivesAreWrittenWholeAndLargeOnesThroughATemporaryFile) {
  namespace fault = orv::platform::fault;
  // Small: made in memory, replaces an earlier archive, leaves nothing when its write fails.
  const std::string small = TextLike(20000, 6);
  const std::wstring smallSource = dir.WriteFile("src/small", small);
  dir.WriteFile("out/a.doc", "an earlier archive");
  COrv_ZIP replacing;
  Configure(replacing, smallSource, L"a.doc");
  ASSERT_EQ(replacing.DoZip(0), 0);
  EXPECT_EQ(Shell("cd " + dir.Path().native() + " && unzip -q -d x " + Archive().native()), 0);
  EXPECT_EQ(orvtest::ReadFile(dir.Path() / "x/a.doc"), small);
  EXPECT_EQ(host.m_nProcessedSize, fs::file_size(Archive()));

  orvtest::LogCapture log;
  fault::Reset();
  fault::FailNth(fault::Op::Write, 1, ENOSPC);
  COrv_ZIP full;
  Configure(full, smallSource, L"a.doc");
  EXPECT_EQ(full.DoZip(0), 62);
  fault::Reset();
  EXPECT_FALSE(fs::exists(Archive()));
  EXPECT_EQ(log.Records().at(0).nSeverity, LOGGER::SeverityError);

  // Large: past what is made in memory, through libzip's temporary file and rename.
  const std::string large = TextLike(17 << 20, 7);
  COrv_ZIP through;
  Configure(through, dir.WriteFile("src/large", large), L"a.doc");
  ASSERT_EQ(through.DoZip(0), 0);
  EXPECT_EQ(Shell("cd " + dir.Path().native() + " && unzip -q -o -d y " + Archive().native()), 0);
  EXPECT_TRUE(orvtest::ReadFile(dir.Path() / "y/a.doc") == large);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path() / "out"), fs::directory_iterator()), 1);
}

TEST_F(ZipEngine, RefusesWhatItCannotWrite) {
  COrv_ZIP zip;
  EXPECT_EQ(zip.Initialize(L"unexpected"), 0);
  orvtest::LogCapture log;
  COrv_ZIP noPassword;
  Configure(noPassword, dir.WriteFile("src/a", "x"), L"a");
  noPassword.SetEncryptionType(OrvCompression::EncryptionTypeWinZipAES);
  EXPECT_EQ(noPassword.DoZip(0), 62);
  EXPECT_FALSE(fs::exists(Archive()));
  EXPECT_EQ(zip.AddItem(L"/x", L"", L"", 1, 1, 0, 0, OrvCompression::CArchiveItem::AddItemFile, 0),
            0);
}

}  // namespace
