// A connection to a store held in memory: it records its calls and uses the base class's memory
// and callback transfers, so that they are tested as a later adapter would use them.
#pragma once

#include "lib/system/sys_fdio.h"
#include "lib/text/str.h"
#include "platform/last_error.h"
#include "remote/url_connection.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kpwtest {

class MemoryConnection : public CUrlConnection {
 public:
  struct Node {
    bool dir = false;
    std::string data;
    FILETIME write;
    bool readOnly = false;
    u32 mode = 0;      // a Unix mode set through SetAttributes
    std::string link;  // a link's target path
  };

  MemoryConnection() : CUrlConnection(1, "mem", "u", "p", 0, 0, 0) {
    m_urlPrefix = "mem://";
    m_caps.creationTimes = false;  // its listings carry none
    nodes["/"].dir = true;
  }

  // The store and what was asked of it; tests change them between calls.
  std::map<std::string, Node> nodes;
  std::vector<std::string> calls;  // "Mkdir /a/b", "ReadDir /a mask=* folders=0", ...
  std::string current = "/";
  int foldersOnlyOption = -1;  // the answer to option 78; -1: the option is unknown
  int failListingAfter = -1;   // ReadDir fails (30) after this many entries
  std::atomic<int> breaks{0};
  std::chrono::microseconds stepDelay{0};  // per 64 KiB a transfer takes at least this long

  // A link at path to target (an absolute path in the store).
  void AddLink(const std::string& path, const std::string& target) { nodes[path].link = target; }

  BOOL ChangeDir(const char* path) override {
    if (!Ready()) return FALSE;
    const std::string abs = Abs(path);
    calls.push_back("ChangeDir " + abs);
    const Node* node = Find(abs);
    if (!node || !node->dir) return Fail(ERROR_PATH_NOT_FOUND);
    current = abs;
    m_currentDirLost = false;
    return TRUE;
  }
  BOOL GetCurrentDir(char* buffer, int* size) override {
    if (!Ready()) return FALSE;
    if (m_currentDirLost) return Fail(ERROR_PATH_NOT_FOUND);
    const int need = static_cast<int>(current.size()) + 1;
    if (!buffer || *size < need) {
      *size = need;
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, current.c_str(), static_cast<std::size_t>(need));
    *size = need - 1;
    return TRUE;
  }
  BOOL SetFileTime(const char* path, FILETIME lastWrite) override {
    Node* node = Ready() ? Find(Abs(path)) : nullptr;
    if (!node) return Fail(Ready() ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_HANDLE);
    node->write = lastWrite;
    return TRUE;
  }
  BOOL SetAttributes(const char* path, u32 attributes) override {
    Node* node = Ready() ? Find(Abs(path)) : nullptr;
    if (!node) return Fail(Ready() ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_HANDLE);
    if (!node->link.empty()) return Fail(ERROR_NOT_SUPPORTED);
    node->readOnly = attributes & URL_ATTR_READONLY;
    if (attributes >= 0x10000) node->mode = (attributes >> 16) & 07777;
    return TRUE;
  }
  BOOL Rmdir(const char* path) override {
    if (!Ready()) return FALSE;
    const std::string abs = Abs(path);
    calls.push_back("Rmdir " + abs);
    if (abs == "/") return Fail(ERROR_ACCESS_DENIED);
    const auto it = nodes.find(abs);
    if (it == nodes.end()) return Fail(ERROR_FILE_NOT_FOUND);
    if (!it->second.dir || !it->second.link.empty()) return Fail(ERROR_DIRECTORY);
    if (!Children(abs).empty()) return Fail(ERROR_DIR_NOT_EMPTY);
    nodes.erase(it);
    return TRUE;
  }
  BOOL Mkdir(const char* path) override {
    if (!Ready()) return FALSE;
    const std::string abs = Abs(path);
    calls.push_back("Mkdir " + abs);
    if (nodes.count(abs)) return Fail(ERROR_ALREADY_EXISTS);
    if (!ParentIsDir(abs)) return Fail(ERROR_PATH_NOT_FOUND);
    nodes[abs].dir = true;
    return TRUE;
  }
  BOOL Remove(const char* path) override {
    if (!Ready()) return FALSE;
    const std::string abs = Abs(path);
    calls.push_back("Remove " + abs);
    const auto it = nodes.find(abs);
    if (it == nodes.end()) return Fail(ERROR_FILE_NOT_FOUND);
    if (it->second.dir && it->second.link.empty()) return Fail(ERROR_ACCESS_DENIED);
    nodes.erase(it);
    return TRUE;
  }
  BOOL Rename(const char* oldPath, const char* newPath) override {
    if (!Ready()) return FALSE;
    const std::string from = Abs(oldPath), to = Abs(newPath);
    if (!nodes.count(from)) return Fail(ERROR_FILE_NOT_FOUND);
    if (nodes.count(to)) return Fail(nodes[to].dir ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS);
    if (!ParentIsDir(to)) return Fail(ERROR_PATH_NOT_FOUND);
    std::map<std::string, Node> moved;
    for (auto it = nodes.begin(); it != nodes.end();) {
      if (it->first == from || it->first.starts_with(from + "/")) {
        moved[to + it->first.substr(from.size())] = it->second;
        it = nodes.erase(it);
      } else {
        ++it;
      }
    }
    nodes.insert(moved.begin(), moved.end());
    return TRUE;
  }
  void Close() override { m_engineHandle.store(0); }

  BOOL UploadFile(const char* local, const char* remote, u32, u32) override {
    m_failureSide = URL_FAIL_NONE;
    if (!Ready()) return FALSE;
    const std::string abs = Abs(remote);
    std::string data;
    if (const int err = SysReadWholeFile(local, data)) {
      m_failureSide = URL_FAIL_LOCAL;
      return Fail(Win32ErrorFromErrno(err, local));
    }
    if (!ParentIsDir(abs) || (nodes.count(abs) && nodes[abs].dir)) {
      m_failureSide = URL_FAIL_TRANSFER;
      return Fail(nodes.count(abs) ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
    }
    if (!Send(data.size())) return FALSE;
    Node& node = nodes[abs];
    node.data = std::move(data);
    node.link.clear();
    return TRUE;
  }
  BOOL DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32, u32, u32) override {
    m_failureSide = URL_FAIL_NONE;
    if (!Ready()) return FALSE;
    const Node* node = Find(Abs(remote));
    if (!node || node->dir) {
      m_failureSide = URL_FAIL_TRANSFER;
      return Fail(node ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
    }
    if (failIfExists && ::access(local, F_OK) == 0) {
      m_failureSide = URL_FAIL_LOCAL;
      return Fail(ERROR_FILE_EXISTS);
    }
    const std::string data = node->data;
    if (!Send(data.size())) return FALSE;
    // Beside the target first, so that a failed write leaves the old file.
    const std::string part = std::string(local) + ".part";
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && SysWriteAll(fd, data.data(), data.size());
    const int err = errno;
    if (fd >= 0) ::close(fd);
    if (!written || ::rename(part.c_str(), local) != 0) {
      ::unlink(part.c_str());
      m_failureSide = URL_FAIL_LOCAL;
      return Fail(Win32ErrorFromErrno(written ? errno : err));
    }
    return TRUE;
  }

  BOOL GetOption(int id, void* buffer, int* size) override {
    if (!Ready()) return FALSE;
    switch (id) {
      case URL_OPT_BYTES_DONE:
      case URL_OPT_PROGRESS:
        return AnswerCounters(id, buffer, size);
      case URL_OPT_KIND_68:
      case URL_OPT_KIND:
        return AnswerWord(buffer, size, 9);
      case URL_OPT_IS_DISK:
        return AnswerWord(buffer, size, 0);
      case URL_OPT_FAIL_SIDE:
        return AnswerWord(buffer, size, m_failureSide);
      case URL_OPT_UTF8_NAMES:
        return AnswerWord(buffer, size, m_utf8Names ? 1 : 0);
      case URL_OPT_FOLDERS_ONLY:
        if (foldersOnlyOption >= 0) return AnswerWord(buffer, size, static_cast<u32>(foldersOnlyOption));
        return Fail(ERROR_INVALID_NAME);
      default:
        return Fail(ERROR_INVALID_NAME);
    }
  }
  BOOL SetOption(int id, const void* buffer, int size, u32 reserved) override {
    if (!Ready()) return FALSE;
    u64 value = 0;
    switch (id) {
      case URL_OPT_SET_DONE:
        if (!TakeValue(buffer, size, &value)) return FALSE;
        m_bytesDone.store(value);
        return TRUE;
      case URL_OPT_UTF8_NAMES:
        if (!TakeValue(buffer, size, &value)) return FALSE;
        m_utf8Names = value != 0;
        return TRUE;
      case URL_OPT_APPLY_FIND:
        if (!buffer || size < static_cast<int>(sizeof(WIN32_FIND_DATAA)))
          return Fail(ERROR_INVALID_PARAMETER);
        return ApplyFindData(*static_cast<const WIN32_FIND_DATAA*>(buffer));
      default:
        return CUrlConnection::SetOption(id, buffer, size, reserved);
    }
  }

  BOOL ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) override {
    const auto end = [&](BOOL ok) {
      entry(context, nullptr);
      return ok;
    };
    if (!Ready()) return end(FALSE);
    const std::string abs = Abs(path && *path ? path : ".");
    calls.push_back("ReadDir " + abs + " mask=" + (filter.mask ? filter.mask : "") +
                    " folders=" + (filter.foldersOnly ? "1" : "0"));
    const auto it = nodes.find(abs);
    if (it == nodes.end()) return end(Fail(ERROR_PATH_NOT_FOUND));
    if (!it->second.dir || !it->second.link.empty()) return end(Fail(ERROR_DIRECTORY));
    int delivered = 0;
    for (const std::string& child : Children(abs)) {
      const Node& node = nodes[child];
      const std::string name = child.substr(child.rfind('/') + 1);
      const Node* target = node.link.empty() ? &node : Find(node.link);
      const bool dir = target && target->dir;
      if (filter.foldersOnly && foldersOnlyOption > 0 && !dir) continue;
      if (filter.mask && *filter.mask &&
          StrMatchPatternA(filter.mask, -1, name.c_str(), -1, STR_MATCH_NOCASE | STR_MATCH_STARDOT) != 0)
        continue;
      if (failListingAfter >= 0 && delivered >= failListingAfter) return end(Fail(ERROR_READ_FAULT));
      WIN32_FIND_DATAA rec;
      DWORD attributes = 0;
      if (dir) attributes |= URL_ATTR_DIRECTORY;
      if (!node.link.empty()) attributes |= URL_ATTR_LINK;
      if (target && target->readOnly) attributes |= URL_ATTR_READONLY;
      rec.dwFileAttributes = attributes;
      if (rec.dwFileAttributes == 0) rec.dwFileAttributes = URL_ATTR_NORMAL;
      const u64 size = target && !dir ? target->data.size() : 0;
      rec.nFileSizeHigh = static_cast<DWORD>(size >> 32);
      rec.nFileSizeLow = static_cast<DWORD>(size);
      rec.ftLastWriteTime = target ? target->write : FILETIME{};
      StrCopyA(rec.cFileName, name.c_str(), sizeof rec.cFileName);
      ++delivered;
      if (!entry(context, &rec)) break;
    }
    entry(context, nullptr);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }

  BOOL Break() override {
    ++breaks;
    m_stop.store(1);
    SetBusy(false);
    return GetEngineHandle() != 0;
  }

  // The absolute, normalised form of a path of this store.
  std::string Abs(const char* path) const {
    std::string whole = path && *path == '/' ? std::string(path) : current + "/" + (path ? path : "");
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= whole.size()) {
      std::size_t slash = whole.find('/', at);
      if (slash == std::string::npos) slash = whole.size();
      const std::string part = whole.substr(at, slash - at);
      at = slash + 1;
      if (part.empty() || part == ".") continue;
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
        continue;
      }
      parts.push_back(part);
    }
    std::string out;
    for (const std::string& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
  }

 private:
  bool Ready() const {
    if (GetEngineHandle() != 0) return true;
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  Node* Find(const std::string& abs) {
    const auto it = nodes.find(abs);
    return it == nodes.end() ? nullptr : &it->second;
  }
  bool ParentIsDir(const std::string& abs) {
    const std::size_t slash = abs.rfind('/');
    const Node* parent = Find(slash == 0 ? "/" : abs.substr(0, slash));
    return parent && parent->dir && parent->link.empty();
  }
  std::vector<std::string> Children(const std::string& abs) const {
    std::vector<std::string> out;
    const std::string head = abs == "/" ? "/" : abs + "/";
    for (const auto& [path, node] : nodes)
      if (path != abs && path.starts_with(head) && path.find('/', head.size()) == std::string::npos)
        out.push_back(path);
    return out;
  }
  // The transfer itself: counted in steps of 64 KiB, busy meanwhile, broken off by Break.
  bool Send(u64 size) {
    m_bytesDone.store(0);
    m_bytesTotal.store(size);
    m_stop.store(0);
    SetBusy(true);
    for (u64 done = 0; done < size; done += 65536) {
      if (m_stop.load()) {
        SetBusy(false);
        m_failureSide = URL_FAIL_TRANSFER;
        SetLastError(ERROR_CANCELLED);
        return false;
      }
      m_bytesDone.store(std::min<u64>(done + 65536, size));
      if (stepDelay.count() > 0) std::this_thread::sleep_for(stepDelay);
    }
    SetBusy(false);
    return true;
  }

  std::atomic<int> m_stop{0};
};

}  // namespace kpwtest
