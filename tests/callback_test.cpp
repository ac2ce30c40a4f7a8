// The host boundary: what a host gets from the callback interface without overriding it.
#include <OrvCopy/external/OrvComp.h>

#include <gtest/gtest.h>

namespace {

using OrvCompression::COrvCallBack;

TEST(CallBack, DefaultsLetAHostOverrideOnlyWhatItUses) {
  COrvCallBack cb;
  EXPECT_EQ(cb.OnPrompt(1, 5, L"x"), 0);
  wchar_t buffer[260] = L"unchanged";
  EXPECT_EQ(cb.GetNextDestination(buffer, 260, 0), 0);
  uint64_t size = 9;
  EXPECT_EQ(cb.GetDestinationSpace(&size, 4096), 0);
  EXPECT_EQ(cb.PrepareSourceFile(1, L"p", L"j"), 1);
  EXPECT_EQ(cb.PrepareSourceFiles(L"r", {1, 2}, L"j"), 1);
  EXPECT_EQ(cb.OnVolumeFiles(0, nullptr), 1);
  uint32_t read = 77;
  char data[4];
  EXPECT_EQ(cb.ReadItemData(1, data, 4, &read), 0);
  EXPECT_EQ(read, 0u);  // a host that does not stream gives no data
  uint32_t written = 0;
  EXPECT_EQ(cb.WriteItemData(1, data, 4, &written), 0);
  EXPECT_EQ(cb.OpenItemData(1, 0), 50);  // streaming must be offered explicitly
  EXPECT_EQ(cb.CloseItemData(1, 0), 1);
  EXPECT_EQ(cb.CanRestoreItem(1), 1);
  EXPECT_EQ(cb.IsAbortRequested(), 0);
  EXPECT_EQ(cb.Reserved1() + cb.Reserved6() + cb.Reserved15() + cb.Reserved17() + cb.Reserved19() +
                cb.Reserved20() + cb.Reserved23(),
            0);
  EXPECT_EQ(cb.m_nTotalProcessedSize + cb.m_nTotalOutputSize + cb.m_nFileProcessedSize +
                cb.m_nProcessedPos + cb.m_nProcessedSize + cb.m_bActionStarted,
            0u);
}

TEST(CallBack, ProcessedStatusInitClearsBothTotals) {
  OrvCompression::_ProcessedStatus status;
  status.m_nTotalProcessedSize = 5;
  status.m_nTotalOutputSize = 6;
  EXPECT_EQ(status.GetTotalProcessedSize(), 5u);
  EXPECT_EQ(status.GetTotalOutputSize(), 6u);
  status.Init();
  EXPECT_EQ(status.GetTotalProcessedSize() + status.GetTotalOutputSize(), 0u);
}

// The order of the virtual operations is the binary contract with hosts: a host built against
// these declarations must land in the right slot. Overriding through a base pointer shows the
// slots a host fills are the ones the library calls.
class RecordingHost : public COrvCallBack {
 public:
  int OnPrompt(int nKind, uint64_t, const wchar_t*) override { return 100 + nKind; }
  void OnItemEnd(uint64_t key, uint32_t crc, int volume) override {
    last = key + crc + static_cast<uint64_t>(volume);
  }
  int IsAbortRequested() override { return 24; }
  uint64_t last = 0;
};

TEST(CallBack, OverridesAreReachedThroughTheInterface) {
  RecordingHost host;
  COrvCallBack* cb = &host;
  EXPECT_EQ(cb->OnPrompt(2, 0, nullptr), 102);
  cb->OnItemEnd(1, 2, 3);
  EXPECT_EQ(host.last, 6u);
  EXPECT_EQ(cb->IsAbortRequested(), 24);
}

}  // namespace
