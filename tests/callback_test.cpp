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

}  // namespace
