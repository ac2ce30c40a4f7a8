// orvcopy list: the entries of a generation, with their status, mode, owner, size and parts.
#include "Commands.h"

#include "BackupFolder.h"
#include "Checks.h"
#include "Common.h"
#include "Manifest.h"
#include "Selection.h"
#include "Text.h"

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

void PrintEntry(const ManifestItem& item) {
  std::string line = Escape(item.path);
  if (item.type == EntryType::Symlink)
    line += " -> " + Escape(item.link);
  else if (item.type == EntryType::HardLink)
    line += " => " + Escape(item.link);
  std::printf("%-7s %s %-17s %12llu %3d  %s\n", item.status.c_str(), ModeText(item).c_str(),
              OwnerText(item).c_str(), static_cast<unsigned long long>(item.size), item.parts,
              line.c_str());
}

}  // namespace

int List(const Options& options) {
  // The entries are printed one by one from the manifest's file, which was checked whole; a
  // selection is surveyed as it is read first.
  OpenedBackup opened;
  std::string error;
  Selection selection(options.paths);
  if (const int code = LoadBackup(
          options, opened, [&selection](const ManifestItem& item) { selection.Survey(item); });
      code != kExitDone)
    return code;
  const Manifest& manifest = opened.manifest;
  if (!selection.Check(error))
    return Refuse(kExitFailed, error);
  std::printf("# generation %s, %s backup, %s%s%s\n", opened.generation.c_str(),
              manifest.complete ? "complete" : "interrupted",
              manifest.encrypt ? ("AES-" + std::to_string(manifest.encrypt) + ", ").c_str() : "",
              manifest.compress ? "compressed, " : "",
              ("buffer " + std::to_string(manifest.buffer)).c_str());
  if (!ReadManifestItems(
          manifest,
          [&](ManifestItem&& item) {
            if (selection.Take(item))
              PrintEntry(item);
          },
          error))
    return Refuse(kExitUnusable, error);
  return kExitDone;
}

}  // namespace orvcopy
