// orvcopy's manifest: every field comes back as written, the tag covers exactly what precedes
// it, manifests of the first version still load, and damaged or hostile entries are refused
// with a reason.
#include "Manifest.h"
#include "StoredName.h"
#include "Text.h"
#include "ToolTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

namespace {

using orvcopy::EntryType;
using orvcopy::Manifest;
using orvcopy::ManifestItem;
using orvcopy::Metadata;

ManifestItem Entry(EntryType type, const std::string& path, uint32_t mode) {
  ManifestItem item;
  item.key = 0;  // set by Sample
  item.type = type;
  item.path = path;
  item.status = "done";
  item.mtime = -1234567890123456789;  // before 1970, to the nanosecond
  item.meta = Metadata{mode, 1234, 4294967294u, "someone", ""};
  return item;
}

Manifest Sample() {
  Manifest m;
  m.encrypt = 256;
  m.buffer = 65856;
  m.complete = true;
  m.salt = std::string(16, '\x01');
  m.keyCheck = "\xff\x00\x02\x03\x04\x05\x06\x07";
  m.keyCheck.resize(8);
  m.rootMeta = Metadata{0750, 0, 0, "root", "root"};
  m.rootMtime = 42;
  m.items.push_back(Entry(EntryType::Folder, "docs", 07755));
  m.items.back().stored = "docs";
  m.items.push_back(Entry(EntryType::File, "docs/caf\xe9\nnew", 04711));
  m.items.back().stored = "docs/caf\xe9\nnew.venc";
  m.items.back().size = 123;
  m.items.back().parts = 2;
  m.items.back().flags = 2;
  m.items.back().crc = 0xDEADBEEF;
  m.items.back().tag = std::string("0123456789abcde\xff", 16);
  m.items.push_back(Entry(EntryType::Symlink, "docs/link", 0777));
  m.items.back().link = "/abs/\xfe\x01target";
  m.items.push_back(Entry(EntryType::HardLink, "hard", 0644));
  m.items.back().link = "docs/caf\xe9\nnew";
  m.items.push_back(Entry(EntryType::Fifo, "pipe", 0600));
  for (size_t i = 0; i < m.items.size(); ++i)
    m.items[i].key = i + 1;
  return m;
}

// A manifest saved, as text; `tagged` receives the bytes given to the tag.
std::string Saved(const Manifest& m, std::string* tagged = nullptr) {
  tooltest::TempDir dir;
  std::string error, given;
  orvcopy::ManifestTagger tagger{[&](std::string_view bytes) { given += bytes; },
                                 [] { return std::string(32, '\x5a'); }};
  EXPECT_TRUE(orvcopy::SaveManifest(dir.Path(), m, m.encrypt ? &tagger : nullptr, error)) << error;
  if (tagged)
    *tagged = given;
  return tooltest::ReadFile(dir.Path() / orvcopy::kManifestName);
}

TEST(Manifest, EveryFieldComesBackAndTheTagCoversAllBeforeIt) {
  const Manifest m = Sample();
  std::string tagged;
  const std::string text = Saved(m, &tagged);
  Manifest back;
  std::string error;
  ASSERT_TRUE(orvcopy::ParseManifest(text, "test", back, error)) << error;
  // What is read back writes the same bytes again: no field is lost or changed on the way.
  EXPECT_EQ(Saved(back), text);
  EXPECT_EQ(back.items[1].path, m.items[1].path);
  EXPECT_EQ(back.items[2].link, m.items[2].link);
  EXPECT_EQ(back.items[0].meta->mode, 07755u);
  EXPECT_EQ(back.taggedLength, tagged.size());
  EXPECT_EQ(text.substr(0, tagged.size()), tagged);
  EXPECT_EQ(back.tag, std::string(32, '\x5a'));
  // One line per entry, whatever bytes the names hold.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10 + static_cast<long>(m.items.size()));
}

TEST(Manifest, AManifestIsReadItemByItemAndItsTagBytesOnlyFromTheFileThatWasRead) {
  tooltest::TempDir dir;
  const Manifest m = Sample();
  std::string error, tagged;
  orvcopy::ManifestTagger tagger{[&](std::string_view bytes) { tagged += bytes; },
                                 [] { return std::string(32, '\x5a'); }};
  ASSERT_TRUE(orvcopy::SaveManifest(dir.Path(), m, &tagger, error)) << error;
  Manifest header;
  std::vector<std::string> paths;
  ASSERT_TRUE(orvcopy::ReadManifest(
      dir.Path(), header, [&](ManifestItem&& item) { paths.push_back(item.path); }, error))
      << error;
  EXPECT_TRUE(header.items.empty());
  EXPECT_EQ(paths.size(), m.items.size());
  std::string again;
  EXPECT_TRUE(orvcopy::ReadTaggedBytes(header, [&](std::string_view b) { again += b; }));
  EXPECT_EQ(again, tagged);
  // Changed in place, even byte for byte the same and with its time put back, the file is no
  // longer the one that was read.
  const auto path = dir.Path() / orvcopy::kManifestName;
  const auto time = std::filesystem::last_write_time(path);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a later change time
  std::ofstream(path, std::ios::in | std::ios::out | std::ios::binary).put('{');
  std::filesystem::last_write_time(path, time);
  EXPECT_FALSE(orvcopy::ReadTaggedBytes(header, [](std::string_view) {}));
  EXPECT_FALSE(orvcopy::ReadManifestItems(
      header, [](ManifestItem&&) {}, error));
  EXPECT_NE(error.find("changed"), std::string::npos) << error;
}

TEST(Manifest, DamagedOrHostileManifestsAreRefusedWithAReason) {
  const std::string good = Saved(Sample());
  const std::vector<std::pair<std::string, std::string>> edits = {
      {R"("mode": "0644")", R"("mode": "10644")"},
      {R"("mode": "0644")", R"("mode": "+644")"},
      {R"("mode": "0644")", R"("mode": "0x1f")"},
      {R"("mode": "0644", )", ""},
      {R"("uid": 1234)", R"("uid": 4294967295)"},
      {R"("uid": 1234)", R"("uid": 123456789012)"},
      {R"("user": "someone")", R"("user": ")" + std::string(300, 'u') + "\""},
      {R"("target_hex": "2f6162732f)", R"("target_hex": "2f61620062732f)"},
      {R"("target_hex": "2f6162732f)", R"("tarjet_hex": "2f6162732f)"},
      {R"("target_hex": "646f63732f636166e90a6e6577")", R"("target_hex": "646f6373")"},
      {R"("type": "fifo", "path": "pipe")", R"("type": "fifo", "path": "docs")"},
      {R"("type": "folder", "path": "docs")", R"("type": "fifo", "path": "docs")"},
      {R"("path": "pipe")", R"("path": "../pipe")"},
      {R"("path": "pipe")", R"("path": "/etc/pipe")"},
      {R"("path": "pipe")", R"("path": "docs/link/pipe")"},
      {R"("path": "pipe")", R"("path": "apipe")"},  // out of the tree's order
      {R"({"key": 5)", R"({"key": 7)"},
      {R"("type": "fifo")", R"("type": "socket")"},
      {R"("key_check": "ff)", R"("key_check": "f)"},
      {R"(,
 "tag": ")",
       R"(,
 "tag": "00)"},
  };
  for (const auto& [from, to] : edits) {
    std::string text = good;
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    Manifest m;
    std::string error;
    EXPECT_FALSE(orvcopy::ParseManifest(text, "test", m, error)) << to;
    EXPECT_NE(error.find("damaged"), std::string::npos) << to << ": " << error;
  }
  // An encrypted backup's manifest without its tag.
  const std::string untagged =
      std::regex_replace(good, std::regex(",\n \"tag\": \"[0-9a-f]+\""), "");
  Manifest m;
  std::string error;
  EXPECT_FALSE(orvcopy::ParseManifest(untagged, "test", m, error));
}

TEST(Manifest, ManifestsOfTheFirstVersionStillLoad) {
  Manifest m;
  std::string error;
  ASSERT_TRUE(orvcopy::ParseManifest(tooltest::ReadFile(ORVCOPY_MANIFEST_V1), "seed", m, error))
      << error;
  EXPECT_EQ(m.version, 1);
  ASSERT_FALSE(m.items.empty());
  for (const ManifestItem& item : m.items) {
    EXPECT_TRUE(item.IsFile() || item.IsFolder());
    EXPECT_FALSE(item.meta);
  }
}

TEST(Text, NamesPrintOnOneLineAndApart) {
  EXPECT_EQ(orvcopy::Escape("plain ü.txt"), "plain ü.txt");
  EXPECT_EQ(orvcopy::Escape("a\nb\tc\\d"), "a\\nb\\tc\\\\d");
  EXPECT_EQ(orvcopy::Escape("caf\xe9\x1b[2J"), "caf\\xe9\\x1b[2J");
  EXPECT_EQ(orvcopy::Escape("evil\xe2\x80\xaetxt.exe"), "evil\\u202etxt.exe");
  EXPECT_EQ(orvcopy::Escape("\xc0\xaf"), "\\xc0\\xaf");  // an overlong '/'
  EXPECT_NE(orvcopy::Escape("\\x41"), orvcopy::Escape("A"));
}

TEST(Text, AFoldersContentComesRightAfterIt) {
  EXPECT_TRUE(orvcopy::BeforeInWalk("a", "a/b"));
  EXPECT_TRUE(orvcopy::BeforeInWalk("a/z", "a-b"));  // '-' is below '/' as a byte
  EXPECT_FALSE(orvcopy::BeforeInWalk("a-b", "a/z"));
  EXPECT_TRUE(orvcopy::BeforeInWalk("a/\xff", "b"));
  EXPECT_FALSE(orvcopy::BeforeInWalk("b", "b"));
}

// Every name a backup stores, a file's later parts included, belongs to one entry of a folder,
// whichever names its entries have and however files are stored.
TEST(StoredName, NoTwoEntriesOfAFolderShareAStoredName) {
  const std::vector<std::string> names = {"x",         "x.venc",     "X.VENC",   "x.zip",  "x.orv",
                                          "x.ORV",     "x.venc.orv", "x.001",    "x.0001", "x.01",
                                          "x.001.orv", "x.orv.orv",  "x.zip.001"};
  for (const orvcopy::StoredNaming naming :
       {orvcopy::StoredNaming{"", false}, orvcopy::StoredNaming{".venc", false},
        orvcopy::StoredNaming{".zip", false}, orvcopy::StoredNaming{"", true},
        orvcopy::StoredNaming{".zip", true}}) {
    std::map<std::string, std::string> owner;  // stored name -> the entry it belongs to
    for (const std::string& name : names) {
      for (const bool isFile : {true, false}) {
        const std::string entry = name + (isFile ? " (file)" : " (folder)");
        const std::string stored = orvcopy::StoredPath("d/" + name, isFile, naming);
        std::vector<std::string> taken = {stored};
        for (int part = 1; isFile && naming.split && part < 3; ++part)
          taken.push_back(orvcopy::PartName(stored, part));
        for (const std::string& one : taken) {
          ASSERT_EQ(one.rfind('/'), 1u) << one;
          // A file and a folder of one name never stand side by side: only other names count.
          const auto [it, added] = owner.emplace(one, entry);
          EXPECT_TRUE(added || it->second.substr(0, name.size() + 1) == name + " ")
              << naming.extension << (naming.split ? " cut: " : ": ") << entry << " and "
              << it->second << " are both stored as " << one;
        }
      }
    }
  }
  // A plain, uncut backup is a mirror: every name stays as it is.
  EXPECT_EQ(orvcopy::StoredPath("x.venc/x.001.orv", true, {}), "x.venc/x.001.orv");
  EXPECT_EQ(orvcopy::StoredPath("x.venc/x.001", false, {".venc", true}), "x.venc.orv/x.001.orv");
}

}  // namespace
