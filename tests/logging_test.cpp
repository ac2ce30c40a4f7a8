// The log: detail lines in the Windows printf dialect, and sinks. (Records and scopes are
// checked where the manager and the ZIP engine write them.)
#include <OrvCopy/external/OrvLogging.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

using LOGGER::COrvLogEntry;
using LOGGER::g_OrvLog;

namespace {

template <typename... Args>
std::wstring WideLine(const wchar_t* format, Args... args) {
  orvtest::LogCapture capture;
  g_OrvLog.Log(format, args...);
  return capture.Details().at(0);
}

template <typename... Args>
std::wstring NarrowLine(const char* format, Args... args) {
  orvtest::LogCapture capture;
  g_OrvLog.Log(format, args...);
  return capture.Details().at(0);
}

TEST(LogDialect, StringConversionsFollowTheFormatsWidth) {
  EXPECT_EQ(WideLine(L"Source: %s", L"C:/a.txt"), L"Source: C:/a.txt");
  EXPECT_EQ(WideLine(L"%S|%hs|%ls|%ws", "narrow", "h", L"l", L"w"), L"narrow|h|l|w");
  EXPECT_EQ(NarrowLine("%s|%S|%ls|%hs", "n", L"wide", L"l", "h"), L"n|wide|l|h");
  EXPECT_EQ(WideLine(L"%c%C", L'\u00E9', 'x'), L"\u00E9x");
  EXPECT_EQ(WideLine(L"[%s]", static_cast<const wchar_t*>(nullptr)), L"[(null)]");
  EXPECT_EQ(NarrowLine("\xC3\xA9 %s", "\xFF"), std::wstring(L"\u00E9 ") + wchar_t(0xDCFF));
}

TEST(LogDialect, IntegerSizesAreReadAsTheDialectSays) {
  EXPECT_EQ(NarrowLine("Online Cache: %I64d", int64_t{INT64_MIN}),
            L"Online Cache: -9223372036854775808");
  EXPECT_EQ(WideLine(L"%I64u %I64x", uint64_t{UINT64_MAX}, uint64_t{0xABCDEF0123ULL}),
            L"18446744073709551615 abcdef0123");
  // A 64-bit argument after a 32-bit one: every argument is read at its own size.
  EXPECT_EQ(WideLine(L"%d %I64d %u", -5, int64_t{1} << 40, 7u), L"-5 1099511627776 7");
  EXPECT_EQ(WideLine(L"%x %X %o %I32d", 255u, 255u, 8u, -1), L"ff FF 10 -1");
  EXPECT_EQ(WideLine(L"%hd %hhu", 70000, 257), L"4464 1");
  EXPECT_EQ(WideLine(L"%lld %zu", -3LL, size_t{9}), L"-3 9");
}

TEST(LogDialect, FlagsWidthPrecisionAndLiterals) {
  EXPECT_EQ(WideLine(L"[%5d|%-5d|%05d|%+d]", 42, 42, 42, 42), L"[   42|42   |00042|+42]");
  EXPECT_EQ(WideLine(L"[%*d|%-*s|%.2s]", 4, 7, 3, L"a", L"abcdef"), L"[   7|a  |ab]");
  EXPECT_EQ(WideLine(L"[%6.2f]", 3.14159), L"[  3.14]");
  EXPECT_EQ(WideLine(L"100%% done"), L"100% done");
  EXPECT_EQ(WideLine(L"%p", reinterpret_cast<void*>(0x1234)), L"0000000000001234");
}

TEST(LogDialect, MalformedFormatsPrintAsTheyStandAndStayBounded) {
  EXPECT_EQ(WideLine(L"bad %y here"), L"bad %y here");
  EXPECT_EQ(WideLine(L"ends with %"), L"ends with %");
  EXPECT_EQ(WideLine(L"ends with %-0"), L"ends with %-0");
  int target = 5;
  EXPECT_EQ(WideLine(L"n%n!", &target), L"n!");
  EXPECT_EQ(target, 5);  // %n never writes
  EXPECT_EQ(WideLine(L"%999999999d", 1).size(), 4096u);
}

TEST(LogSink, NothingIsWrittenWithoutASinkAndSetSinkReturnsThePreviousOne) {
  int seen = 0;
  LOGGER::COrvLogSink first = [&seen](const COrvLogEntry&) { ++seen; };
  LOGGER::COrvLogSink original = g_OrvLog.SetSink(first);
  g_OrvLog.WriteLog("one", LOGGER::SeverityNotice, "f", 1, nullptr);
  LOGGER::COrvLogSink previous = g_OrvLog.SetSink({});
  ASSERT_TRUE(previous);
  g_OrvLog.WriteLog("discarded", LOGGER::SeverityNotice, "f", 2, nullptr);
  g_OrvLog.Log("discarded %d", 1);
  previous(COrvLogEntry{});
  EXPECT_EQ(seen, 2);
  g_OrvLog.SetSink(original);
}

TEST(LogSink, ASinkMayWriteToTheLogItself) {
  std::vector<std::wstring> texts;
  LOGGER::COrvLogSink original;
  original = g_OrvLog.SetSink([&texts](const COrvLogEntry& e) {
    texts.push_back(e.strText);
    if (e.strText == L"outer") {
      g_OrvLog.Log(L"echo");
    }
  });
  g_OrvLog.Log(L"outer");
  g_OrvLog.SetSink(original);
  EXPECT_EQ(texts, (std::vector<std::wstring>{L"outer", L"echo"}));
}

}  // namespace
