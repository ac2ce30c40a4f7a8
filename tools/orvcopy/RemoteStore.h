// A backup folder on a remote store, reached through rclone: its manifest at the top and the
// stored files below data/. Every transfer takes a list of files (one rclone call per list),
// so that the calls stay few however many files there are.
#pragma once

#include "Rclone.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace orvcopy {

class RemoteStore {
 public:
  // `remote`: REMOTE:PATH as rclone takes it; `location` the name the user gave it.
  RemoteStore(std::string remote, std::string location);

  const std::string& Location() const { return m_location; }

  // What the remote folder holds, asked before anything is written: nothing (or only what a
  // first backup left when it was interrupted), a backup (a manifest), or other files. False,
  // with `error` set, when it cannot be used: rclone or the remote missing, or no folder there.
  enum class Holds { Nothing, Backup, Other };
  bool Open(Holds& holds, std::string& error);
  // The manifest into the local file `file`.
  bool FetchManifest(const std::filesystem::path& file, std::string& error);
  // The manifest from the local file `file` put in place of the old one, in one rename: the
  // remote is described by the old manifest or the new one, never by a part of one.
  bool PutManifest(const std::filesystem::path& file, std::string& error);

  // The files `names` lists (one relative path a line) from below the local folder `root` into
  // data/, or into its folder `folder`: the files the library wrote, from the hand-over's
  // stage, and plain files from the tree into their slot (rclone passes over links).
  bool Upload(const std::filesystem::path& root, const std::filesystem::path& names,
              const std::string& folder, std::string& error);
  // Whether an upload (of a list or a stream) has rclone compare the checksums of each file
  // after it (the default).
  void CheckUploads(bool check) { m_checkUploads = check; }
  // One file uploaded as `name` (relative to data/) from what `feed` writes, as it writes it.
  bool UploadStream(const std::string& name, const Rclone::Feed& feed, std::string& error);
  // The files `names` lists from data/ into the local folder `root`. With `arrived`, each
  // file's name (as the list gives it) is passed on as soon as the file is whole there, while
  // the others are still on their way (on the calling thread); a `cancel` that becomes true
  // stops the fetch. `reads` says how an SFTP remote reads each file.
  using Arrived = std::function<void(const std::string&)>;
  enum class Reads {
    Concurrent,  // many requests under way for one file, once its size is asked for
    Single,      // requests one after another: for files one request brings whole
  };
  bool Fetch(const std::filesystem::path& names, const std::filesystem::path& root,
             std::string& error, const Arrived& arrived = {},
             const std::atomic<bool>* cancel = nullptr, Reads reads = Reads::Concurrent);
  // The files the lists name deleted from data/; those already gone are passed over.
  bool Delete(const std::vector<std::filesystem::path>& lists, std::string& error);
  // The remote folder deleted with all it holds.
  bool Purge(std::string& error);
  // The folder `name` of data/ deleted with all it holds, when there is one.
  bool PurgeFolder(const std::string& name, std::string& error);

  // A backup marks the folder before its first write: the file kWritingName at the top, holding
  // `text` (who writes). It stays there until ClearMark, which a run that completed calls: one
  // found at Open was left by a run that was stopped, or is a run still under way.
  void MarkWrites(std::string text) { m_markText = std::move(text); }
  bool ClearMark(std::string& error);
  // What the mark found by Open says; empty when there was none.
  const std::string& FoundMark() const { return m_foundMark; }
  // Whether this run has put its mark.
  bool Marked() const { return m_marked; }
  // Every stored file below data/, one relative path a line.
  bool ListData(std::string& listing, std::string& error);

  // The rclone calls made, and the files the uploads and fetches named.
  size_t Calls() const { return m_calls; }
  size_t Uploaded() const { return m_uploaded; }
  size_t Fetched() const { return m_fetched; }

 private:
  bool Call(const std::vector<std::string>& arguments, std::chrono::milliseconds limit,
            std::string& error, std::string* output = nullptr, const RcloneWatch& watch = {});
  // An upload's command and arguments, with the checksum comparison left out when it is not
  // wanted (CheckUploads).
  std::vector<std::string> UploadArguments(std::vector<std::string> arguments) const;
  // What the listing of the folder's top says it holds; reads the mark found there.
  bool ReadTop(const std::string& listing, Holds& holds, std::string& error);
  // Puts the mark before the first write; false, with `error` set, when it cannot be put.
  bool BeforeWrite(std::string& error);
  std::string Path(const std::string& name) const;

  Rclone m_rclone;
  std::string m_remote, m_location;
  std::atomic<size_t> m_calls = 0, m_uploaded = 0, m_fetched = 0;  // restore lanes fetch at once
  std::string m_markText, m_foundMark;
  std::mutex m_markMutex;  // uploads run on threads of their own
  bool m_checkUploads = true;
  bool m_marked = false;
};

inline constexpr const char* kWritingName = "orvcopy-writing";

// A private folder of a remote command's own, for what passes through this disk on its way to
// or from the remote: made below `parent` (--temp, else TMPDIR, else /tmp), removed with all it
// holds when the command ends.
class ScratchFolder {
 public:
  ScratchFolder() = default;
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // False, with `error` set, when it cannot be made.
  bool Make(const std::string& parent, std::string& error);
  const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

// Writes `names`, one a line, into the file `list`; false when it cannot be written.
bool WriteNameList(const std::filesystem::path& list, const std::vector<std::string>& names);

}  // namespace orvcopy
