#include "BackupFolder.h"

#include "Checks.h"
#include "Common.h"
#include "Text.h"

#include <OrvCopy/OrvCopyStrings.h>
#include <OrvCopy/external/orv_encryption.h>

#include <cstdio>
#include <fstream>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

int Refuse(int code, const std::string& message) {
  std::fprintf(stderr, "orvcopy: %s\n", message.c_str());
  return code;
}

// Version 2: the key check and the manifest's tag, both under the password and the salt.
int CheckKeys(const OpenedBackup& opened, const std::string& text) {
  const Manifest& manifest = opened.manifest;
  orv::CEncryption engine;
  ConfigureEngine(engine, *opened.password, manifest.encrypt, manifest.salt);
  uint8_t check[orv::CEncryption::kKeyCheckSize];
  if (!engine.GetKeyCheck(check) ||
      !EqualSecret(std::string(reinterpret_cast<char*>(check), sizeof check), manifest.keyCheck)) {
    return Refuse(kExitUnusable, "wrong password for " + Show(opened.folder));
  }
  uint8_t tag[orv::CEncryption::kHostTagSize];
  engine.BeginHostTag();
  engine.AddToHostTag(reinterpret_cast<const uint8_t*>(text.data()), manifest.taggedLength);
  if (!engine.EndHostTag(tag) ||
      !EqualSecret(std::string(reinterpret_cast<char*>(tag), sizeof tag), manifest.tag)) {
    return Refuse(kExitFailed, "the manifest of " + Show(opened.folder) +
                                   " was changed after the backup (its keyed tag does not "
                                   "match); nothing in it is trusted");
  }
  return kExitDone;
}

// Version 1 keeps no key check of its own: the first stored file tells.
int CheckFirstFile(const OpenedBackup& opened) {
  const Manifest& manifest = opened.manifest;
  for (const ManifestItem& item : manifest.items) {
    if (!item.IsFile() || item.status != "done")
      continue;
    const fs::path stored = opened.Data() / item.stored;
    if (manifest.compress) {
      // An archive opens only with its password.
      return Extract(stored, *opened.password, nullptr)
                 ? kExitDone
                 : Refuse(kExitUnusable, "wrong password, or " + Show(item.stored) + " is damaged");
    }
    uint8_t header[64] = {};
    std::ifstream(stored, std::ios::binary).read(reinterpret_cast<char*>(header), sizeof header);
    uint32_t unit = 0;
    const int check = orv::CEncryption::CheckPassword(
        header, sizeof header, OrvCopy::FileNameToWide(*opened.password).c_str(), &unit);
    if (check == orv::CEncryption::CheckWrongPassword)
      return Refuse(kExitUnusable, "wrong password for " + Show(opened.folder));
    if (check == orv::CEncryption::CheckNotAHeader || unit != manifest.buffer)
      return Refuse(kExitUnusable, Show(item.stored) + " is not an encrypted file of this backup");
    return kExitDone;
  }
  return kExitDone;
}

}  // namespace

int OpenBackup(const Options& options, OpenedBackup& opened) {
  opened.folder = fs::absolute(options.backup);
  std::string error, text;
  if (!LoadManifest(opened.folder, opened.manifest, error, &text))
    return Refuse(kExitUnusable, error);
  const Manifest& manifest = opened.manifest;
  const bool passwordGiven =
      !options.password.file.empty() || !options.password.environment.empty();
  if (manifest.encrypt == 0) {
    if (passwordGiven) {
      std::fprintf(stderr,
                   "warning: %s is not an encrypted backup (so says its manifest); the password "
                   "is not used\n",
                   Show(opened.folder).c_str());
    }
    return kExitDone;
  }
  if (!(opened.password = AskPassword(options, false)))
    return kExitFailed;
  return manifest.version >= 2 ? CheckKeys(opened, text) : CheckFirstFile(opened);
}

}  // namespace orvcopy
