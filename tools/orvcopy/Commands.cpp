// orvcopy list and remove.
#include "Commands.h"

#include "BackupFolder.h"
#include "Checks.h"
#include "Common.h"
#include "Host.h"
#include "Manifest.h"
#include "Text.h"

#include <OrvCopy/OrvCopyStrings.h>

#include <cstdio>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

// "drwxr-x---" and the like.
std::string ModeText(const ManifestItem& item) {
  static const char kTypeLetters[] = {'-', 'd', 'l', 'h', 'p'};
  std::string text(1, kTypeLetters[static_cast<int>(item.type)]);
  if (!item.meta)
    return text + "?????????";
  const uint32_t mode = item.meta->mode;
  const char* letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit)
    text += (mode & (0400u >> bit)) ? letters[bit] : '-';
  if (mode & 04000)
    text[3] = (mode & 0100) ? 's' : 'S';
  if (mode & 02000)
    text[6] = (mode & 0010) ? 's' : 'S';
  if (mode & 01000)
    text[9] = (mode & 0001) ? 't' : 'T';
  return text;
}

std::string OwnerText(const ManifestItem& item) {
  if (!item.meta)
    return "?";
  const Metadata& m = *item.meta;
  return (m.user.empty() ? std::to_string(m.uid) : Escape(m.user)) + "/" +
         (m.group.empty() ? std::to_string(m.gid) : Escape(m.group));
}

}  // namespace

int List(const Options& options) {
  Manifest manifest;
  std::string error;
  if (!LoadManifest(fs::absolute(options.backup), manifest, error))
    return Refuse(kExitUnusable, error);
  std::printf("# %s backup, %s%s%s\n", manifest.complete ? "complete" : "interrupted",
              manifest.encrypt ? ("AES-" + std::to_string(manifest.encrypt) + ", ").c_str() : "",
              manifest.compress ? "compressed, " : "",
              ("buffer " + std::to_string(manifest.buffer)).c_str());
  for (const ManifestItem& item : manifest.items) {
    std::string line = Escape(item.path);
    if (item.type == EntryType::Symlink)
      line += " -> " + Escape(item.link);
    else if (item.type == EntryType::HardLink)
      line += " => " + Escape(item.link);
    std::printf("%-7s %s %-17s %12llu %3d  %s\n", item.status.c_str(), ModeText(item).c_str(),
                OwnerText(item).c_str(), static_cast<unsigned long long>(item.size), item.parts,
                line.c_str());
  }
  return kExitDone;
}

int Remove(const Options& options) {
  const fs::path backup = fs::absolute(options.backup);
  Manifest manifest;
  std::string error;
  if (!LoadManifest(backup, manifest, error))
    return Refuse(kExitUnusable, error);
  LogFile log(options.logFile);
  Host host(manifest.items.size(), 0, false);
  OrvCopy::COrvCopyManager manager;
  manager.Initialize();
  manager.SetSourceRootFolder(OrvCopy::FileNameToWide((backup / kDataFolder).native()).c_str());
  manager.SetCallBack(&host);
  // Files (every part) first, then folders, deepest first, so that the folders are empty.
  // Links and pipes have nothing stored; nothing is removed through a link.
  StoredPaths inside(RealDataFolder(backup));
  const auto add = [&](const std::string& stored, uint64_t key, int folder) {
    if (inside.Inside(stored)) {
      manager.AddItem(OrvCopy::FileNameToWide(stored).c_str(), L"", L"", key, 0, 1, 0, 0, 1, folder,
                      nullptr);
    }
  };
  for (const ManifestItem& item : manifest.items) {
    for (int p = 0; item.IsFile() && p < item.parts; ++p)
      add(PartName(item.stored, p), item.key, 0);
  }
  for (auto it = manifest.items.rbegin(); it != manifest.items.rend(); ++it) {
    if (it->IsFolder())
      add(it->stored, it->key, 1);
  }
  manager.Remove();
  std::error_code ec;
  fs::remove(backup / kManifestName, ec);
  fs::remove(backup / kDataFolder, ec);  // only when empty
  const bool left = fs::exists(backup / kDataFolder);
  if (!left)
    fs::remove(backup, ec);
  Say(options, left ? "removed the backup; files not listed in it were left in place"
                    : "removed the backup");
  return left ? kExitFailed : kExitDone;
}

}  // namespace orvcopy
