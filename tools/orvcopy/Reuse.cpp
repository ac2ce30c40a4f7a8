#include "Reuse.h"

#include "Checks.h"
#include "Common.h"
#include "Text.h"

#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orvcopy {
namespace fs = std::filesystem;

Earlier::Earlier(OpenedBackup opened, std::function<void(const ManifestItem&)> passed,
                 bool localData)
    : m_opened(std::move(opened)),
      m_passed(std::move(passed)),
      m_localData(localData),
      m_items(std::make_unique<ItemStream>(m_opened.manifest)) {}

void Earlier::PassOver(const ManifestItem& item) {
  if (m_passed && item.path != m_found)
    m_passed(item);
}

const ManifestItem* Earlier::Find(const std::string& path) {
  const ManifestItem* next = m_items->Peek();
  for (; next && BeforeInWalk(next->path, path); next = m_items->Peek()) {
    PassOver(*next);
    m_items->Pop();
  }
  if (!next || next->path != path)
    return nullptr;
  m_found = path;
  return next;
}

void Earlier::Finish() {
  for (const ManifestItem* next = m_items->Peek(); next; next = m_items->Peek()) {
    PassOver(*next);
    m_items->Pop();
  }
}

const ManifestItem* Earlier::Unchanged(const ManifestItem& item, const std::string& stored,
                                       const fs::path* source) {
  const ManifestItem* next = Find(item.path);
  if (!next || !next->IsFile() || next->status != "done")
    return nullptr;
  const ManifestItem& was = *next;
  const bool sameStat = was.stored == stored && was.size == item.size && was.mtime == item.mtime &&
                        was.meta && item.meta && was.meta->mode == item.meta->mode &&
                        was.meta->uid == item.meta->uid && was.meta->gid == item.meta->gid;
  // What restore checks each file by must be there: a tag when encrypted, else a CRC-32 unless
  // it is an archive (which checks itself).
  const Manifest& manifest = Listing();
  const bool checkable = manifest.encrypt ? !was.tag.empty() : (manifest.compress || was.crc);
  // A file changed again within the same tick of the clock as the earlier run read it keeps
  // its time: one whose time is not before the earlier run started is read again.
  const bool settled = manifest.started == 0 || was.mtime < manifest.started * 1000000000;
  if (!sameStat || !checkable || !settled)
    return nullptr;
  for (int p = 0; p < was.parts && m_localData; ++p) {
    if (!m_opened.stored.Inside(PartName(was.stored, p)))
      return nullptr;
  }
  if (source && FileRegister({*source}) != was.crc)
    return nullptr;
  return &was;
}

int EarlierGenerations::Open(const Options& options, const fs::path& backup,
                             std::optional<std::string>& password) {
  m_backup = backup;
  const std::vector<Generation> all = ListGenerations(backup, true);
  for (const Generation& generation : all) {
    if (!generation.complete)
      unfinished.push_back(generation);
  }
  // The latest generation whose manifest reads; one that does not is named and passed over.
  OpenedBackup opened;
  const Generation* previous = nullptr;
  for (auto it = all.rbegin(); it != all.rend() && !previous; ++it) {
    std::string error;
    if (!it->complete)
      continue;
    if (LoadGeneration(backup, *it, kManifestName, opened, error))
      previous = &*it;
    else
      std::fprintf(stderr, "warning: generation %s is passed over: %s\n", it->id.c_str(),
                   error.c_str());
  }
  if (previous == nullptr)
    return kExitDone;
  if (const std::string conflict = SettingsConflict(options, opened.manifest); !conflict.empty())
    return Refuse(kExitUsage, conflict);
  if (const int code = CheckPassword(options, opened); code != kExitDone)
    return code;
  password = opened.password;
  previousId = previous->id;
  TakeSettings(opened.manifest);
  m_previous.emplace(std::move(opened));
  return kExitDone;
}

void EarlierGenerations::TakeSettings(const Manifest& manifest) {
  if (manifest.encrypt == 0)
    return;
  salt = manifest.salt;
  keyCheck = manifest.keyCheck;
  buffer = manifest.buffer;
}

void EarlierGenerations::ChooseResume(const Options& options,
                                      const std::optional<std::string>& password) {
  for (auto it = unfinished.rbegin(); it != unfinished.rend(); ++it) {
    const std::string why =
        m_resumed ? "a later one is resumed" : TryResume(options, *it, password);
    if (why.empty()) {
      Say(options, "resuming the unfinished backup " + it->id + ": what it finished is kept");
    } else {
      Say(options, "discarding the unfinished backup " + it->id + ": " + why);
    }
  }
}

std::string EarlierGenerations::TryResume(const Options& options, const Generation& generation,
                                          const std::optional<std::string>& password) {
  std::error_code ec;
  if (!fs::exists(generation.folder / kUnfinishedName, ec))
    return "it was stopped before it recorded what it finished";
  OpenedBackup opened;
  std::string error;
  if (!LoadGeneration(m_backup, generation, kUnfinishedName, opened, error))
    return error;
  const Manifest& record = opened.manifest;
  if (!SettingsConflict(options, record).empty())
    return "it was made with other settings";
  if (password) {
    if (!salt.empty() && record.salt != salt)
      return "its files are keyed with another salt";
    if (CheckManifestKeys(record, *password) != KeyCheck::Matches)
      return "it was made with another password, or its record was changed";
    TakeSettings(record);
  }
  resumedId = generation.id;
  m_resumed.emplace(std::move(opened));
  return {};
}

std::string SettingsConflict(const Options& options, const Manifest& folder) {
  const std::string bits = std::to_string(folder.encrypt);
  if (folder.encrypt != options.encrypt) {
    return folder.encrypt ? "the backup folder is encrypted with AES-" + bits +
                                ": back up into it with --encrypt=" + bits
                          : "the backup folder is not encrypted: back up into it without "
                            "--encrypt, or into another folder";
  }
  if (folder.compress != options.compress) {
    return folder.compress ? "the backup folder is compressed: back up into it with --compress"
                           : "the backup folder is not compressed: back up into it without "
                             "--compress, or into another folder";
  }
  if (folder.split != options.split) {
    return folder.split
               ? "the backup folder cuts files into volumes of " + std::to_string(folder.split) +
                     " bytes: back up into it with --split " + std::to_string(folder.split)
               : "the backup folder does not cut files into volumes: back up into it "
                 "without --split, or into another folder";
  }
  // The library rounds the buffer up to a multiple of 96; an encrypted file decrypts only
  // with the capacity it was written with.
  if (folder.encrypt && options.bufferGiven && (options.buffer + 95) / 96 * 96 != folder.buffer) {
    return "the files of the encrypted backup folder are encrypted in units of " +
           std::to_string(folder.buffer) + " bytes: back up into it without --buffer";
  }
  if (folder.encrypt && folder.salt.empty()) {
    return "the backup folder was made by an earlier orvcopy that keyed no salt into its files; "
           "back up into a new folder";
  }
  return {};
}

bool LinkStored(const fs::path& from, const fs::path& to, const ManifestItem& was,
                std::string& error) {
  for (int p = 0; p < was.parts; ++p) {
    const std::string part = PartName(was.stored, p);
    bool linked = ::link((from / part).c_str(), (to / part).c_str()) == 0;
    if (!linked && errno == ENOENT && p == 0) {
      // Its folder is not there yet: made here, as the library would make it.
      std::error_code ec;
      fs::create_directories((to / part).parent_path(), ec);
      linked = ::link((from / part).c_str(), (to / part).c_str()) == 0;
    }
    if (!linked) {
      error = std::string("it cannot be linked to its earlier copy: ") + std::strerror(errno);
      while (p-- > 0)
        ::unlink((to / PartName(was.stored, p)).c_str());
      return false;
    }
  }
  return true;
}

}  // namespace orvcopy
