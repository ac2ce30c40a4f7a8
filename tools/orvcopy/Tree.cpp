#include "Tree.h"

#include "Common.h"
#include "Text.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

// A symbolic link's target, any bytes; nothing when it cannot be read.
std::optional<std::string> LinkTarget(const fs::path& path, const struct stat& st) {
  std::vector<char> buffer(static_cast<size_t>(std::max<off_t>(st.st_size, 255)) + 1);
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0)
      return std::nullopt;
    if (static_cast<size_t>(n) < buffer.size())
      return std::string(buffer.data(), static_cast<size_t>(n));
    if (buffer.size() > 65536)
      return std::nullopt;
    buffer.resize(buffer.size() * 2);  // it grew since it was examined
  }
}

class TreeWalker {
 public:
  TreeWalker(const fs::path& root, const std::optional<FileId>& exclude, bool quiet,
             std::deque<ManifestItem>& items, WalkCounts& counts, const Excludes* patterns)
      : m_root(root),
        m_exclude(exclude),
        m_quiet(quiet),
        m_items(items),
        m_counts(counts),
        m_patterns(patterns) {}

  void Walk(const fs::path& relative) {
    std::vector<fs::path> names;
    std::error_code ec;
    for (fs::directory_iterator it(m_root / relative, ec), end; !ec && it != end;
         it.increment(ec)) {
      names.push_back(it->path().filename());
    }
    if (ec) {
      Unreadable(m_root / relative, ec.message());
    }
    std::sort(names.begin(), names.end(),
              [](const fs::path& a, const fs::path& b) { return a.native() < b.native(); });
    for (const fs::path& name : names) {
      const fs::path rel = relative / name;
      struct stat st {};
      if (::lstat((m_root / rel).c_str(), &st) != 0) {  // type, size and time in one call
        Unreadable(rel, std::strerror(errno));
        continue;
      }
      if (Add(rel, st) && S_ISDIR(st.st_mode))
        Walk(rel);
    }
  }

 private:
  void Unreadable(const fs::path& path, const std::string& why) {
    std::fprintf(stderr, "orvcopy: cannot read %s: %s\n", Escape(path.native()).c_str(),
                 why.c_str());
    ++m_counts.unreadable;
  }

  void Skip(const char* what, const fs::path& rel) {
    if (!m_quiet)
      std::fprintf(stderr, "skipped (%s): %s\n", what, Escape(rel.native()).c_str());
    ++m_counts.skipped;
  }

  // Lists one entry; false when it is left out.
  bool Add(const fs::path& rel, const struct stat& st) {
    if (m_exclude && FileId(st.st_dev, st.st_ino) == *m_exclude) {
      Skip("the backup folder itself", rel);
      return false;
    }
    if (m_patterns && m_patterns->Excluded(rel.native(), S_ISDIR(st.st_mode))) {
      ++m_counts.excluded;
      return false;
    }
    ManifestItem item;
    item.path = rel.native();
    item.mtime = MtimeOf(st);
    item.meta = MetadataOf(st, m_names);
    if (S_ISDIR(st.st_mode)) {
      item.type = EntryType::Folder;
    } else if (S_ISREG(st.st_mode)) {
      item.size = static_cast<uint64_t>(st.st_size);
      if (st.st_nlink > 1) {
        const auto [first, isNew] = m_links.emplace(FileId(st.st_dev, st.st_ino), item.path);
        if (!isNew) {
          item.type = EntryType::HardLink;
          item.link = first->second;
          item.size = 0;
        }
      }
      m_counts.fileBytes += item.size;
    } else if (S_ISLNK(st.st_mode)) {
      const std::optional<std::string> target = LinkTarget(m_root / rel, st);
      if (!target) {
        Unreadable(rel, std::strerror(errno));
        return false;
      }
      item.type = EntryType::Symlink;
      item.link = *target;
    } else if (S_ISFIFO(st.st_mode)) {
      item.type = EntryType::Fifo;
    } else {
      Skip(S_ISSOCK(st.st_mode) ? "socket" : "device", rel);
      return false;
    }
    item.key = m_items.size() + 1;
    m_items.push_back(std::move(item));
    return true;
  }

  const fs::path& m_root;
  const std::optional<FileId>& m_exclude;
  const bool m_quiet;
  std::deque<ManifestItem>& m_items;
  WalkCounts& m_counts;
  const Excludes* m_patterns;
  OwnerNames m_names;
  std::map<FileId, std::string> m_links;  // files with more than one link: the first path
};

}  // namespace

const std::string& OwnerNames::User(uint32_t uid) {
  return Remembered(m_users, uid, [uid] {
    return LookUpAccount<passwd>(uid, ::getpwuid_r,
                                 [](const passwd& p) { return std::string(p.pw_name); })
        .value_or("");
  });
}

const std::string& OwnerNames::Group(uint32_t gid) {
  return Remembered(m_groups, gid, [gid] {
    return LookUpAccount<group>(gid, ::getgrgid_r,
                                [](const group& g) { return std::string(g.gr_name); })
        .value_or("");
  });
}

Metadata MetadataOf(const struct stat& st, OwnerNames& names) {
  Metadata meta;
  meta.mode = st.st_mode & 07777;
  meta.uid = st.st_uid;
  meta.gid = st.st_gid;
  meta.user = names.User(st.st_uid);
  meta.group = names.Group(st.st_gid);
  return meta;
}

int64_t MtimeOf(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

void WalkTree(const fs::path& root, const std::optional<FileId>& exclude, bool quiet,
              std::deque<ManifestItem>& items, WalkCounts& counts, const Excludes* patterns) {
  TreeWalker(root, exclude, quiet, items, counts, patterns).Walk({});
}

}  // namespace orvcopy
