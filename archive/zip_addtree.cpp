// AddTree: listing the source, deciding per file, and writing entries in order while pieces pack in parallel.
#include "archive/crc32.h"
#include "archive/zip_deflate_pool.h"
#include "archive/zip_internal.h"

#include "lib/system/dirlisting.h"
#include "lib/system/sys_fd.h"
#include "lib/system/sys_tree.h"
#include "lib/system/sys.h"
#include "lib/system/sys_ospath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

using namespace zipfmt;

namespace {

// A file at least this large gets a ZIP64 field in its local header (room for deflate's growth).
constexpr u64 kLocalZip64From = kMax32 - (u64{16} << 20);

bool IsAsciiText(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The folder inside the archive as a name prefix: "/" separators, no empty, "." or ".." parts,
// ending in "/" (empty for the root).
std::string ArchivePrefix(const char* folder) {
  std::string out;
  if (!folder) return out;
  std::string text(folder);
  std::replace(text.begin(), text.end(), '\\', '/');
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('/', pos);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(pos, end - pos);
    if (!part.empty() && part != "." && part != "..") out += part + "/";
    pos = end + 1;
  }
  return out;
}

bool AllFilesPattern(const char* plus) {
  if (!plus) return true;
  std::string p(plus);
  p.erase(std::remove_if(p.begin(), p.end(), [](char c) { return c == ' ' || c == ';'; }), p.end());
  return p.empty() || p == "*" || p == "*.*";
}

// General-purpose bits 1-2 tell the deflate level.
u16 LevelBits(int level) {
  if (level >= 8) return 0x2;
  if (level == 1) return 0x6;
  if (level == 2) return 0x4;
  return 0;
}

}  // namespace

// Keeps the written order: entries are written one after another, their pieces in order, while
// the pieces pack on the pool's threads.
class ZipPackPipeline {
 public:
  ZipPackPipeline(CZipFile::Impl& s, int threads) : m_s(s), m_pool(threads) {
    m_limit = m_pool.Inline() ? 1 : static_cast<std::size_t>(threads) * 16;
    m_byteLimit = m_pool.Inline() ? 0 : u64{static_cast<u64>(threads)} * 3 * kZipPiece;
  }
  ~ZipPackPipeline() { Abandon(); }

  struct Item {
    int index = -1;
    int replaced = -1;  // the entry of the same name that this one replaces
    std::string sourcePath;
    std::shared_ptr<ZipSourceFile> file;
    u64 size = 0;
    u32 pieces = 0;       // all pieces of the file
    u32 submitted = 0;
    std::deque<std::unique_ptr<ZipPieceTask>> tasks;  // submitted, not yet written
    bool headerWritten = false;
    bool failed = false;
    u64 written = 0;      // input bytes written
  };

  // Queues an entry (a folder or a file; file may be null for an empty file).
  bool Add(Item item);
  // Writes everything queued; false when the operation stops (error already set).
  bool Finish(bool abandon);
  bool Stopped() const { return m_stop; }
  int FilesWritten() const { return m_files; }

 private:
  bool SubmitPieces(Item& item);
  bool WriteFront(bool block);
  bool WriteTask(Item& item, ZipPieceTask& task);
  bool CompleteItem(Item& item);
  void FailItem(Item& item, int code, int sysErr);
  void Abandon();

  CZipFile::Impl& m_s;
  ZipDeflatePool m_pool;
  std::deque<Item> m_items;
  std::size_t m_inFlight = 0;
  std::size_t m_limit = 1;
  u64 m_inFlightBytes = 0;
  u64 m_byteLimit = 0;
  bool m_stop = false;
  int m_files = 0;
};

bool ZipPackPipeline::Add(Item item) {
  if (m_stop) return false;
  m_items.push_back(std::move(item));
  Item& it = m_items.back();
  if (!SubmitPieces(it)) return false;
  // Write what is ready; keeps the latency of events low.
  while (!m_stop && WriteFront(false)) {
  }
  return !m_stop;
}

bool ZipPackPipeline::SubmitPieces(Item& it) {
  ZipEntryRec& rec = m_s.entries[static_cast<std::size_t>(it.index)];
  int level = rec.method == kMethodDeflate ? m_s.level : 0;
  while (it.submitted < it.pieces) {
    while ((m_inFlight >= m_limit || (m_inFlightBytes && m_inFlightBytes >= m_byteLimit)) && !m_stop)
      WriteFront(true);
    if (m_stop) return false;
    if (it.failed) break;
    auto task = std::make_unique<ZipPieceTask>();
    task->file = it.file;
    task->offset = u64{it.submitted} * kZipPiece;
    task->length = static_cast<u32>(std::min<u64>(kZipPiece, it.size - task->offset));
    task->first = it.submitted == 0;
    task->last = it.submitted + 1 == it.pieces;
    task->probe = task->first && !task->last;
    task->level = level;
    ZipPieceTask* raw = task.get();
    it.tasks.push_back(std::move(task));
    ++it.submitted;
    ++m_inFlight;
    m_inFlightBytes += raw->length;
    m_pool.Submit(raw);
    if (raw->probe && level > 0) {
      // The rest of the file is packed as the first piece decides: deflated, or stored.
      m_pool.Wait(raw);
      if (raw->error) break;  // reported when the piece is written
      if (raw->stored) level = 0;
    }
  }
  it.pieces = it.submitted;  // a failed file submits no more
  return true;
}

bool ZipPackPipeline::WriteFront(bool block) {
  if (m_items.empty()) return false;
  Item& it = m_items.front();
  if (!it.tasks.empty()) {
    ZipPieceTask* task = it.tasks.front().get();
    if (!task->done.load(std::memory_order_acquire)) {
      if (!block) return false;
      m_pool.Wait(task);
    }
    if (!it.failed && !m_stop) WriteTask(it, *task);
    m_inFlightBytes -= task->length;
    it.tasks.pop_front();
    --m_inFlight;
  } else if (it.submitted < it.pieces) {
    return false;  // its pieces are still being submitted
  }
  if (it.tasks.empty() && it.submitted == it.pieces) {
    if (!it.failed && !m_stop) CompleteItem(it);
    m_items.pop_front();
  }
  return true;
}

bool ZipPackPipeline::WriteTask(Item& it, ZipPieceTask& task) {
  ZipEntryRec& rec = m_s.entries[static_cast<std::size_t>(it.index)];
  if (task.error) {
    FailItem(it, task.error == -1 ? ARC_ERR_CHANGED : ARC_ERR_SOURCE, task.error == -1 ? 0 : task.error);
    return false;
  }
  ZipOutput& out = m_s.output;
  if (!it.headerWritten) {
    if (task.stored) {
      rec.method = kMethodStored;
      rec.flags &= static_cast<u16>(~0x6);
      if (rec.needed == kNeedDeflate) rec.needed = kNeedStored;
    }
    rec.localOffset = out.Offset();
    if (!out.Write(ZipLocalHeader(rec))) {
      m_s.Fail(ARC_ERR_WRITE, {}, out.Error());
      m_stop = true;
      return false;
    }
    it.headerWritten = true;
    rec.crc = 0;
    rec.compSize = 0;
  }
  if (!out.Write(task.out.data(), task.out.size())) {
    m_s.Fail(ARC_ERR_WRITE, {}, out.Error());
    m_stop = true;
    return false;
  }
  rec.crc = task.first ? task.crc : Crc32Combine(rec.crc, task.crc, task.length);
  rec.compSize += task.out.size();
  it.written += task.length;
  m_s.progressPos.fetch_add(static_cast<i64>(task.length), std::memory_order_relaxed);
  std::vector<u8>().swap(task.out);
  return true;
}

bool ZipPackPipeline::CompleteItem(Item& it) {
  ZipEntryRec& rec = m_s.entries[static_cast<std::size_t>(it.index)];
  ZipOutput& out = m_s.output;
  if (!it.headerWritten) {
    // A folder or an empty file: the header is the whole entry.
    rec.localOffset = out.Offset();
    rec.crc = 0;
    rec.compSize = 0;
    rec.size = 0;
    if (!out.Write(ZipLocalHeader(rec))) {
      m_s.Fail(ARC_ERR_WRITE, {}, out.Error());
      m_stop = true;
      return false;
    }
  } else {
    rec.size = it.written;
    if (!rec.localZip64 && (rec.size >= kMax32 || rec.compSize >= kMax32)) {
      FailItem(it, ARC_ERR_CHANGED, 0);
      return !m_stop;
    }
    std::string fields;
    if (rec.localZip64) {
      Put64(fields, rec.size);
      Put64(fields, rec.compSize);
      u8 crc[4] = {static_cast<u8>(rec.crc), static_cast<u8>(rec.crc >> 8), static_cast<u8>(rec.crc >> 16),
                   static_cast<u8>(rec.crc >> 24)};
      if (!out.Patch(rec.localOffset + 14, crc, 4) ||
          !out.Patch(rec.localOffset + kLocalSize + rec.rawName.size() + 4, fields.data(), fields.size())) {
        m_s.Fail(ARC_ERR_WRITE, {}, out.Error());
        m_stop = true;
        return false;
      }
    } else {
      Put32(fields, rec.crc);
      Put32(fields, static_cast<u32>(rec.compSize));
      Put32(fields, static_cast<u32>(rec.size));
      if (!out.Patch(rec.localOffset + 14, fields.data(), fields.size())) {
        m_s.Fail(ARC_ERR_WRITE, {}, out.Error());
        m_stop = true;
        return false;
      }
    }
  }
  m_s.changed = true;
  it.file.reset();
  if (rec.folder) return true;
  ++m_files;
  if (m_s.self.IsEventEnabled(ARC_EVENT_FILE_ADDED) &&
      m_s.NotifyEvent(ARC_EVENT_FILE_ADDED, it.index, nullptr) != 0) {
    m_s.Fail(ARC_ERR_USER_ABORT);
    m_stop = true;
    return false;
  }
  return true;
}

void ZipPackPipeline::FailItem(Item& it, int code, int sysErr) {
  it.failed = true;
  ZipEntryRec& rec = m_s.entries[static_cast<std::size_t>(it.index)];
  if (it.headerWritten && !m_s.output.Truncate(rec.localOffset)) {
    m_s.Fail(ARC_ERR_WRITE, {}, m_s.output.Error());
    m_stop = true;
    return;
  }
  rec.dropped = true;
  m_s.Restore(it.index, it.replaced);
  m_s.Fail(code, it.sourcePath, sysErr);
  if (m_s.ReportError(it.index)) m_stop = true;
}

bool ZipPackPipeline::Finish(bool abandon) {
  if (abandon) m_stop = true;
  while (!m_stop && !m_items.empty()) WriteFront(true);
  if (m_stop) Abandon();
  return !m_stop;
}

void ZipPackPipeline::Abandon() {
  // Wait for the pieces in flight and drop every entry not completely written.
  bool cut = false;
  u64 cutAt = 0;
  for (Item& it : m_items) {
    for (auto& task : it.tasks) m_pool.Wait(task.get());
    it.tasks.clear();
    ZipEntryRec& rec = m_s.entries[static_cast<std::size_t>(it.index)];
    if (it.headerWritten && !cut) {
      cut = true;
      cutAt = rec.localOffset;
    }
    if (!rec.dropped) {
      rec.dropped = true;
      m_s.Restore(it.index, it.replaced);
    }
  }
  m_items.clear();
  m_inFlight = 0;
  m_inFlightBytes = 0;
  if (cut) m_s.output.Truncate(cutAt);
}

int CZipFile::AddTree(const char* source, const char* plus, const char* minus, const char* folder) {
  Impl& s = *m_impl;
  SetError(ARC_OK);
  if (m_openMode != ARC_OPEN_UPDATE && m_openMode != ARC_OPEN_CREATE) {
    s.Fail(ARC_ERR_NOT_OPEN);
    return 0;
  }
  if (!source || !*source) {
    s.Fail(ARC_ERR_NO_SOURCE, source ? source : "");
    return 0;
  }
  const bool recurse = (m_flags & ARC_FLAG_RECURSE) != 0;
  const bool folderEntries = recurse && AllFilesPattern(plus);
  int listFlags = CDirListing::DL_READ_ALL;
  if (recurse) listFlags |= CDirListing::DL_SUBDIRS;
  if (folderEntries) listFlags |= CDirListing::DL_FOLDERS;
  CDirListing listing;
  if (listing.Open(source, listFlags, plus, minus) < 0) {
    s.Fail(ARC_ERR_NO_SOURCE, source, errno);
    return 0;
  }
  const std::string prefix = ArchivePrefix(folder);
  s.running.store(true);
  s.progressPos.store(0);
  s.progressTotal.store(static_cast<i64>(listing.GetTotalSize()));
  struct Running {
    Impl& s;
    ~Running() { s.running.store(false); }
  } runningGuard{s};

  if (listing.GetReadState() == 2) {
    s.Fail(ARC_ERR_LISTING, source);
    if (s.ReportError(-1)) return 0;
  }

  SysTree sourceTree(listing.GetRootPath());
  const int threads = s.threads > 0 ? s.threads : ZipDeflatePool::AvailableThreads();
  ZipPackPipeline pipeline(s, std::min(threads, 64));
  std::vector<std::string> refused;  // folders whose names no entry can hold, with "/"
  const int count = listing.GetCount();
  for (int i = 0; i < count && !pipeline.Stopped(); ++i) {
    CDirListing::Entry* entry = listing.GetEntry(i);
    const bool isFolder = entry->IsFolder();
    if (isFolder && (entry->info.dwAttr & SYS_ATTR_LINK)) continue;
    int relLength = 0;
    const char* relText = listing.GetPath(i, &relLength, CDirListing::DL_PATH_RELATIVE);
    const std::string relative(relText, static_cast<std::size_t>(relLength));
    std::string name = prefix + relative;
    if (isFolder) name += '/';

    // The skip query sees the name relative to the source.
    const int index = static_cast<int>(s.entries.size());
    s.entries.emplace_back();
    s.entries.back().name = relative;
    s.entries.back().folder = isFolder;
    // Files that are not packed leave the total.
    auto leave = [&] {
      s.entries.pop_back();
      if (!isFolder) s.progressTotal.fetch_sub(static_cast<i64>(entry->info.qwSize));
    };
    const int skip = Notify(ARC_EVENT_ENTRY, index, nullptr);
    if (skip == 1) {
      leave();
      continue;
    }
    // "\" separates folders in entry names: such a file would unpack under another name. A
    // refused folder is told once, not again for each thing inside it.
    if (relative.find('\\') != std::string::npos) {
      leave();
      const bool inside = std::any_of(refused.begin(), refused.end(),
                                      [&](const std::string& f) { return relative.compare(0, f.size(), f) == 0; });
      if (inside) continue;
      if (isFolder) refused.push_back(relative + "/");
      int fullLength = 0;
      const char* fullText = listing.GetPath(i, &fullLength, CDirListing::DL_PATH_FULL);
      s.Fail(ARC_ERR_NAME, std::string(fullText, static_cast<std::size_t>(fullLength)));
      if (s.ReportError(-1)) break;
      continue;
    }
    ZipEntryRec& rec = s.entries.back();
    rec.name = name;
    rec.rawName = name;

    // The file's entry is written with these bytes and reads back as them; an entry of the archive
    // is this file's when it reads as the same name (whatever bytes another packer stored).
    const auto existing = s.byName.find(name);
    const int replaced = existing == s.byName.end() ? -1 : existing->second;
    if (isFolder) {
      if (replaced >= 0) {
        s.entries.pop_back();
        continue;
      }
    } else if (replaced >= 0) {
      const ZipEntryRec& old = s.entries[static_cast<std::size_t>(replaced)];
      bool keepOld = (m_flags & ARC_FLAG_NO_OVERWRITE) != 0;
      if (!keepOld && (m_flags & ARC_FLAG_NEWER_ONLY))
        keepOld = SysCompareFileTime(entry->info.timeWrite, old.mtime, old.exactTime ? 0 : 2) <= 0;
      if (keepOld) {
        leave();
        continue;
      }
    }

    ZipPackPipeline::Item item;
    item.index = index;
    item.replaced = replaced;
    struct stat st {};
    int fullLength = 0;
    const char* fullText = listing.GetPath(i, &fullLength, CDirListing::DL_PATH_FULL);
    item.sourcePath.assign(fullText, static_cast<std::size_t>(fullLength));
    // Opened by name in its folder, reached without following links: a tree deeper than the
    // kernel's path limit packs whole, and a folder swapped for a link is not read through.
    const auto [relDir, leaf] = SysSplitRel(relative);
    const std::string leafName(leaf);
    const int dirFd = sourceTree.Folder(relDir);
    if (isFolder) {
      if (dirFd < 0 || ::fstatat(dirFd, leafName.c_str(), &st, 0) != 0) {
        st = {};
        st.st_mode = S_IFDIR | 0755;
        st.st_mtime = entry->info.timeWrite;
      }
    } else {
      SysFd fd(dirFd < 0 ? -1 : ::openat(dirFd, leafName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
      const int err = errno;
      if (!fd || ::fstat(fd.Get(), &st) != 0) {
        fd.Reset();
        leave();
        s.Fail(ARC_ERR_SOURCE, item.sourcePath, err);
        if (s.ReportError(-1)) break;
        continue;
      }
      item.file = std::make_shared<ZipSourceFile>(std::move(fd));
      if (!S_ISREG(st.st_mode) || s.IsSelf(st.st_dev, st.st_ino)) {
        leave();
        continue;
      }
      item.size = static_cast<u64>(st.st_size);
      // The size when opened counts.
      s.progressTotal.fetch_add(static_cast<i64>(item.size) - static_cast<i64>(entry->info.qwSize));
      item.pieces = static_cast<u32>((item.size + kZipPiece - 1) / kZipPiece);
    }

    ZipEntryRec& r = s.entries[static_cast<std::size_t>(index)];
    r.fromOld = false;
    r.folder = isFolder;
    r.madeBy = kVersionMadeBy;
    // A name that is not UTF-8 is written as its bytes without the flag; a Unix entry reads back so.
    r.flags = IsAsciiText(name) || !ZipIsUtf8(name) ? 0 : kFlagUtf8;
    r.mtime = static_cast<i64>(st.st_mtime);
    r.exactTime = true;
    ZipDosTimeFromUnix(r.mtime, &r.dosTime, &r.dosDate);
    r.extra = ZipTimeExtra(r.mtime);
    r.externalAttr = (static_cast<u32>(st.st_mode) & 0xFFFF) << 16;
    if (isFolder) r.externalAttr |= 0x10;
    if (!(st.st_mode & S_IWUSR)) r.externalAttr |= 0x01;
    if (!isFolder && item.size > 0 && s.level > 0) {
      r.method = kMethodDeflate;
      r.flags |= LevelBits(s.level);
      r.needed = kNeedDeflate;
    } else {
      r.method = kMethodStored;
      r.needed = isFolder ? kNeedDeflate : kNeedStored;
    }
    r.localZip64 = item.size >= kLocalZip64From;
    if (r.localZip64) r.needed = kNeedZip64;

    if (replaced >= 0) s.entries[static_cast<std::size_t>(replaced)].dropped = true;
    s.byName[name] = index;
    if (!isFolder && s.ProgressEvent(ARC_EVENT_COMPRESS, index, name)) {
      r.dropped = true;
      s.Restore(index, replaced);
      break;
    }
    if (!pipeline.Add(std::move(item))) break;
  }
  pipeline.Finish(m_lastError == ARC_ERR_USER_ABORT);
  const int files = pipeline.FilesWritten();
  s.Compact();
  return files;
}
