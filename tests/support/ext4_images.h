// ext4 test images: made with e2fsprogs, opened as a block device over the file, and read whole through the engine.
#pragma once

#include "FileSystem/Ext4/ext4.h"
#include "FileSystem/Ext4/ext4_journal.h"
#include "tests/support/files.h"
#include "tests/support/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kpwtest {

// A block device over an image file (or a byte range of it), counting its calls; writes fail
// unless it was opened writable.
class Ext4ImageDevice {
 public:
  explicit Ext4ImageDevice(const std::string& path, bool writable = false) {
    m_fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    struct stat st {};
    if (m_fd >= 0 && ::fstat(m_fd, &st) == 0) m_dev.physBlockCount = static_cast<u64>(st.st_size) / 512;
    m_dev.open = [](Ext4BlockDevice& d) { return Ext4BlockdevOpen(d); };
    m_dev.read = [this](Ext4BlockDevice&, void* buf, u64 block, u32 count) {
      ++reads;
      const std::size_t n = std::size_t{count} * 512;
      return ::pread(m_fd, buf, n, static_cast<off_t>(block * 512)) == static_cast<ssize_t>(n) ? 0 : 5;
    };
    m_dev.write = [this, writable](Ext4BlockDevice&, const void* buf, u64 block, u32 count) {
      ++writes;
      if (!writable || failWrites) return 5;
      const std::size_t n = std::size_t{count} * 512;
      return ::pwrite(m_fd, buf, n, static_cast<off_t>(block * 512)) == static_cast<ssize_t>(n) ? 0 : 5;
    };
    m_dev.close = [this](Ext4BlockDevice&) {
      ++closes;
      return 0;
    };
    m_dev.sync = [this](Ext4BlockDevice&) {
      ++syncs;
      return ::fdatasync(m_fd) == 0 ? 0 : 5;
    };
  }
  ~Ext4ImageDevice() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Ext4ImageDevice(const Ext4ImageDevice&) = delete;
  Ext4ImageDevice& operator=(const Ext4ImageDevice&) = delete;

  bool ok() const { return m_fd >= 0; }
  Ext4BlockDevice* dev() { return &m_dev; }

  int reads = 0, writes = 0, syncs = 0, closes = 0;
  bool failWrites = false;

 private:
  int m_fd = -1;
  Ext4BlockDevice m_dev;
};

// A mounted volume over an image, unmounted when it goes.
class Ext4Mounted {
 public:
  explicit Ext4Mounted(const std::string& path, bool writable = false) : device(path, writable) {
    result = device.ok() ? Ext4Mount(device.dev(), &vol, !writable) : EXT4_EIO;
  }
  ~Ext4Mounted() {
    if (vol) Ext4Umount(vol);
  }
  int Unmount() {
    const int r = vol ? Ext4Umount(vol) : EXT4_OK;
    vol = nullptr;
    return r;
  }
  Ext4ImageDevice device;
  Ext4Volume* vol = nullptr;
  int result = EXT4_EIO;
};

// One name of a tree: 'd' folder, 'f' file (with its bytes), 'l' link (with its text), 'o' other.
struct TreeEntry {
  char kind = 'o';
  std::string data;
  u64 size = 0;
  bool operator==(const TreeEntry& o) const { return kind == o.kind && data == o.data && size == o.size; }
};

inline std::ostream& operator<<(std::ostream& out, const TreeEntry& e) {
  out << e.kind << " size " << e.size << " ";
  if (e.data.size() <= 64) return out << "'" << e.data << "'";
  return out << e.data.size() << " bytes";
}

// Reads at most limit bytes of an open file (and its size); reading errors come back as codes.
inline int Ext4ReadAll(Ext4File& f, std::string* out, u64 limit) {
  out->clear();
  char buf[65536];
  while (out->size() < limit) {
    u32 done = 0;
    const u32 want = static_cast<u32>(std::min<u64>(sizeof buf, limit - out->size()));
    const int r = Ext4FileRead(&f, buf, want, &done);
    out->append(buf, done);
    if (r) return r;
    if (done == 0) break;
  }
  return EXT4_OK;
}

// Everything below the root as the engine reads it: names relative to the root ("a/b"); files
// read up to limit bytes. Errors are counted per kind and listed in errors (path: code).
inline std::map<std::string, TreeEntry> Ext4ReadTree(Ext4Volume* vol, std::map<std::string, int>* errors = nullptr,
                                                      u64 limit = ~u64{0}, std::size_t maxEntries = 200000) {
  std::map<std::string, TreeEntry> tree;
  std::set<u32> seenDirs;
  std::vector<std::string> todo = {""};
  while (!todo.empty() && tree.size() < maxEntries) {
    const std::string folder = todo.back();
    todo.pop_back();
    Ext4Dir d;
    int r = Ext4DirOpen(vol, &d, ("/" + folder).c_str());
    if (r) {
      if (errors) (*errors)[folder + "!open"] = r;
      continue;
    }
    if (!seenDirs.insert(d.f.inode).second) {  // a folder linked twice is read once
      Ext4DirClose(&d);
      continue;
    }
    int err = 0;
    for (const Ext4DirEntryInfo* e; (e = Ext4DirNext(&d, &err)) && tree.size() < maxEntries;) {
      const std::string name(e->name, e->nameLen);
      if (name == "." || name == "..") continue;
      const std::string path = folder.empty() ? name : folder + "/" + name;
      TreeEntry t;
      if (e->type == 2) {
        t.kind = 'd';
        todo.push_back(path);
      } else if (e->type == 7) {
        t.kind = 'l';
        char text[4096];
        u32 n = 0;
        r = Ext4ReadLink(vol, ("/" + path).c_str(), text, sizeof text, &n);
        if (r && errors) (*errors)[path + "!link"] = r;
        t.data.assign(text, n);
        t.size = n;
      } else if (e->type == 1) {
        t.kind = 'f';
        Ext4File f;
        r = Ext4FileOpen(vol, &f, ("/" + path).c_str(), 0);
        if (r == EXT4_OK) {
          t.size = f.size;
          r = Ext4ReadAll(f, &t.data, limit);
          Ext4FileClose(&f);
        }
        if (r && errors) (*errors)[path + "!read"] = r;
      }
      tree[path] = t;
    }
    if (err && errors) (*errors)[folder + "!list"] = err;
    Ext4DirClose(&d);
  }
  return tree;
}

// The same of a folder on the host (a source tree, or what debugfs's rdump wrote).
inline std::map<std::string, TreeEntry> HostTree(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, TreeEntry> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string path = it->path().lexically_relative(root).string();
    TreeEntry t;
    const auto st = it->symlink_status();
    if (fs::is_symlink(st)) {
      t.kind = 'l';
      t.data = fs::read_symlink(it->path()).string();
      t.size = t.data.size();
    } else if (fs::is_directory(st)) {
      t.kind = 'd';
    } else if (fs::is_regular_file(st)) {
      t.kind = 'f';
      t.data = ReadFile(it->path().string());
      t.size = t.data.size();
    }
    tree[path] = t;
  }
  return tree;
}

// n bytes from a seeded generator: the same for the same seed.
inline std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// Runs a shell command that must succeed; its output.
inline std::string Ext4Tool(const std::string& command) {
  int status = 0;
  std::string out = Shell(command + " 2>&1", &status);
  EXPECT_EQ(status, 0) << command << ":\n" << out;
  return out;
}

// What `e2fsck -fn` (with options) reports beyond its version line, pass headings and summary line:
// empty for a clean volume (its status alone is 0 even with wrong counts). status: e2fsck's.
inline std::string E2fsckProblems(const std::string& image, const std::string& options = "", int* status = nullptr) {
  std::istringstream out(Shell("e2fsck -fn " + options + (options.empty() ? "" : " ") + Quote(image) + " 2>&1", status));
  std::string problems;
  for (std::string line; std::getline(out, line);) {
    if (line.empty() || line.rfind("e2fsck ", 0) == 0 || line.rfind("Pass ", 0) == 0 ||
        line.find(" files (") != std::string::npos)
      continue;
    problems += line + "\n";
  }
  return problems;
}

inline bool HaveE2fsprogs() { return HaveTool("mke2fs") && HaveTool("debugfs") && HaveTool("e2fsck"); }

}  // namespace kpwtest
