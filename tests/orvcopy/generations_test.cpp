// The pieces of generations that scripts reach only in part: exclude patterns, the selection of
// entries for a partial restore, the retention rules of forget, and the order of generation ids.
#include "Exclude.h"
#include "GenerationFolders.h"
#include "Selection.h"
#include "ToolTestSupport.h"

#include <gtest/gtest.h>

namespace {

using orvcopy::EntryType;
using orvcopy::ManifestItem;

TEST(Exclude, GlobsStopAtSlashesUnlessDoubled) {
  struct Case {
    const char* glob;
    const char* path;
    bool matches;
  } const cases[] = {
      {"*.o", "main.o", true},
      {"*.o", "src/main.o", false},
      {"a?c", "abc", true},
      {"a?c", "a/c", false},
      {"src/**", "src/a/b/c", true},
      {"**/b", "b", true},
      {"a/**/b", "a/b", true},
      {"a/**/b", "a/x/y/b", true},
      {"a/**/b", "a/xb", false},
      {"**.log", "x/y.log", true},
      {"*", "", true},
      {"abc", "abcd", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(orvcopy::GlobMatches(c.glob, c.path), c.matches) << c.glob << " ~ " << c.path;
  // Many stars against a long path answer at once.
  EXPECT_FALSE(orvcopy::GlobMatches("**a**a**a**a**a**a**b", std::string(3000, 'a')));
}

TEST(Exclude, NamesAnywhereWholePathsAnchoredFoldersByTrailingSlash) {
  orvcopy::Excludes excludes;
  std::string error;
  ASSERT_TRUE(excludes.Add("cache/", error) && excludes.Add("/build/*.o", error) &&
              excludes.Add("*.tmp", error));
  EXPECT_FALSE(excludes.Add("/", error));
  EXPECT_TRUE(excludes.Excluded("a/b/cache", true));
  EXPECT_FALSE(excludes.Excluded("a/b/cache", false));  // a file named cache stays
  EXPECT_TRUE(excludes.Excluded("build/x.o", false));
  EXPECT_FALSE(excludes.Excluded("src/build/x.o", false));
  EXPECT_TRUE(excludes.Excluded("deep/down/x.tmp", false));
}

ManifestItem Item(EntryType type, const std::string& path, const std::string& link = {}) {
  ManifestItem item;
  item.type = type;
  item.path = path;
  item.stored = type == EntryType::HardLink ? "" : path;
  item.link = link;
  item.status = "done";
  return item;
}

// The entries a selection keeps of `all`, as a restore reads them.
std::vector<ManifestItem> Selected(const std::vector<ManifestItem>& all,
                                   const std::vector<std::string>& paths, std::string& error) {
  orvcopy::Selection selection(paths);
  for (const ManifestItem& item : all)
    selection.Survey(item);
  std::vector<ManifestItem> kept;
  if (!selection.Check(error))
    return kept;
  for (ManifestItem item : all) {
    if (selection.Take(item))
      kept.push_back(item);
  }
  EXPECT_EQ(kept.size(), selection.Count());
  return kept;
}

TEST(Selection, KeepsPathsTheirFoldersAndMakesOrphanHardLinksCopies) {
  std::vector<ManifestItem> all = {Item(EntryType::Folder, "a"),
                                   Item(EntryType::File, "a/f"),
                                   Item(EntryType::Folder, "b"),
                                   Item(EntryType::Folder, "b/c"),
                                   Item(EntryType::HardLink, "b/c/h1", "a/f"),
                                   Item(EntryType::HardLink, "b/c/h2", "a/f"),
                                   Item(EntryType::File, "bb")};
  all[1].crc = 7;
  std::string error;
  const std::vector<ManifestItem> kept = Selected(all, {"./b/c/"}, error);
  ASSERT_EQ(kept.size(), 4u) << error;
  EXPECT_EQ(kept[0].path, "b");
  const ManifestItem& first = kept[2];
  EXPECT_TRUE(first.path == "b/c/h1" && first.IsFile() && first.stored == "a/f" && first.crc == 7u);
  EXPECT_EQ(kept[3].link, "b/c/h1");
  for (size_t i = 0; i < kept.size(); ++i)
    EXPECT_EQ(kept[i].key, i + 1);
  EXPECT_TRUE(Selected(kept, {"a"}, error).empty());
  EXPECT_NE(error.find("no entry a"), std::string::npos);
}

TEST(Retention, KeepsTheNewestOfEachDayWeekAndMonth) {
  const std::time_t day = 86400, jan1 = 1767225600;  // 2026-01-01, a Thursday
  std::vector<orvcopy::DatedGeneration> all;
  for (int d = 0; d < 60; ++d) {  // two a day for sixty days
    all.push_back({"d" + std::to_string(d) + "a", jan1 + d * day + 3600});
    all.push_back({"d" + std::to_string(d) + "b", jan1 + d * day + 7200});
  }
  const auto kept = orvcopy::KeptGenerations(all, {1, 3, 2, 3});
  const std::set<std::string> expected = {"d59b", "d58b", "d57b",  // the last three days
                                          "d52b",                  // Sunday of the week before
                                          "d30b"};  // the last day of January (February's is d58b)
  EXPECT_EQ(kept, expected);
  EXPECT_EQ(orvcopy::KeptGenerations(all, {2, 0, 0, 0}), (std::set<std::string>{"d59a", "d59b"}));
}

TEST(GenerationIds, SuffixesForOneSecondAndNumericOrder) {
  tooltest::TempDir dir;
  const std::time_t start = 1765000000;
  std::vector<std::string> ids;
  for (int i = 0; i < 11; ++i) {
    ids.push_back(orvcopy::NewGenerationId(dir.Path(), start));
    std::filesystem::create_directories(dir.Path() / ids.back() / "data");
    tooltest::WriteFile(dir.Path() / ids.back() / orvcopy::kManifestName, "");
  }
  EXPECT_EQ(ids[0], "20251206T054640Z");
  EXPECT_EQ(ids[10], "20251206T054640Z-11");
  std::vector<std::string> listed;
  for (const auto& generation : orvcopy::ListGenerations(dir.Path(), false))
    listed.push_back(generation.id);
  EXPECT_EQ(listed, ids);
  EXPECT_EQ(orvcopy::GenerationTime(ids[10]), start);
  // A clock set back still gives an id after every generation there is.
  EXPECT_EQ(orvcopy::NewGenerationId(dir.Path(), start - 3600), "20251206T054640Z-12");
  EXPECT_FALSE(orvcopy::IsGenerationId("20251206T054640Z-0"));
  EXPECT_FALSE(orvcopy::IsGenerationId("20251206T054640"));
}

}  // namespace
