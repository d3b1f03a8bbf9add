/* hexout's file layer on Linux: open/read/write/seek and folder enumeration with wildcards. */
#include "file_utility_linux.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define FIND_SLOTS 8

typedef struct {
  DIR *dir;
  char folder[PATH_MAX];
  char mask[256];
} FindSlot;

static FindSlot g_finds[FIND_SLOTS];

int SysError(int err) {
  switch (err) {
    case EINVAL: return SYS_ERR_INVALID;
    case ENAMETOOLONG: return SYS_ERR_NAME_LONG;
    case ENOENT: case ENXIO: case EXDEV: case ENODEV: return SYS_ERR_NOT_FOUND;
    case EPERM: case EBADF: case EACCES: case ENOTBLK: case EROFS: case ENOSTR: return SYS_ERR_DENIED;
    case ENFILE: case EMFILE: return SYS_ERR_TOO_MANY;
    case ENOTDIR: return SYS_ERR_NOT_FOLDER;
    case EFBIG: case ENOSPC: return SYS_ERR_FULL;
    case EEXIST: return SYS_ERR_EXISTS;
    default: return SYS_ERR_OTHER;
  }
}

int SysOpenRead(const char *path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  return fd >= 0 ? fd : SysError(errno);
}

int SysOpenUpdate(const char *path) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  return fd >= 0 ? fd : SysError(errno);
}

int64_t SysSize(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? (int64_t)st.st_size : SysError(errno);
}

int64_t SysSeek(int fd, int64_t offset) {
  const off_t at = lseek(fd, (off_t)offset, SEEK_SET);
  return at >= 0 ? (int64_t)at : SysError(errno);
}

int SysRead(int fd, void *buffer, int count) {
  for (;;) {
    const ssize_t n = read(fd, buffer, (size_t)count);
    if (n >= 0) return (int)n;
    if (errno != EINTR) return SysError(errno);
  }
}

int SysWrite(int fd, const void *buffer, int count) {
  int done = 0;
  while (done < count) {
    const ssize_t n = write(fd, (const char *)buffer + done, (size_t)(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done > 0 ? done : SysError(errno);
    if (n == 0) break;
    done += (int)n;
  }
  return done;
}

int SysClose(int fd) {
  return close(fd) == 0 ? 0 : SysError(errno);
}

static int Lower(int c) {
  return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

/* '*' any run, '?' any one character, ASCII letters in either case. */
static int Match(const char *mask, const char *name) {
  if (*mask == '\0') return *name == '\0';
  if (*mask == '*') {
    for (;; ++name) {
      if (Match(mask + 1, name)) return 1;
      if (*name == '\0') return 0;
    }
  }
  if (*name == '\0') return 0;
  if (*mask != '?' && Lower((unsigned char)*mask) != Lower((unsigned char)*name)) return 0;
  return Match(mask + 1, name + 1);
}

int SysDescribe(const char *path, const char *name, SysFindStruct *found) {
  struct stat st, own;
  if (lstat(path, &own) != 0) return SysError(errno);
  int link = S_ISLNK(own.st_mode);
  /* A dangling link is described by itself. */
  if (!link || stat(path, &st) != 0) {
    st = own;
  }
  const uint32_t mode = link ? ((uint32_t)st.st_mode & 07777) | 0xA000 : (uint32_t)st.st_mode;
  const int folder = S_ISDIR(st.st_mode);
  const uint64_t size = folder ? 0 : (uint64_t)st.st_size;
  uint32_t attr = mode << 16 | (uint32_t)((size >> 32) & 0x3F) << 10;
  if (folder) attr |= 0x10;
  if (st.st_mode & S_IRUSR) attr |= 0x01;
  if (st.st_mode & S_IWUSR) attr |= 0x02;
  if (st.st_mode & S_IXUSR) attr |= 0x200 | 0x40;
  if (st.st_mode & S_IXGRP) attr |= 0x80;
  if (st.st_mode & S_IXOTH) attr |= 0x20;
  found->dwAttr = attr;
  found->qwSize = size;
  found->dwTimeCreate = (uint32_t)st.st_ctime;
  found->dwTimeAccess = (uint32_t)st.st_atime;
  found->dwTimeWrite = (uint32_t)st.st_mtime;
  if (strlen(name) >= sizeof found->cName) return SYS_ERR_NAME_LONG;
  strcpy(found->cName, name);
  return 0;
}

int SysFindFirstEx(const char *path, SysFindStruct *found) {
  const char *slash = strrchr(path, '/');
  const char *last = slash ? slash + 1 : path;
  if (!strpbrk(last, "*?")) {
    /* One entry: the path itself, under its last component. */
    const int rc = SysDescribe(path, *last ? last : path, found);
    return rc < 0 ? rc : FIND_SLOTS;
  }
  int slot = 0;
  while (slot < FIND_SLOTS && g_finds[slot].dir) ++slot;
  if (slot == FIND_SLOTS) return SYS_ERR_TOO_MANY;
  FindSlot *f = &g_finds[slot];
  const size_t folderLength = slash ? (size_t)(slash - path) : 0;
  if (folderLength >= sizeof f->folder || strlen(last) >= sizeof f->mask) return SYS_ERR_NAME_LONG;
  if (slash && folderLength == 0) strcpy(f->folder, "/");
  else if (!slash) strcpy(f->folder, ".");
  else {
    memcpy(f->folder, path, folderLength);
    f->folder[folderLength] = '\0';
  }
  strcpy(f->mask, last);
  f->dir = opendir(f->folder);
  if (!f->dir) return SysError(errno);
  const int rc = SysFindNext(slot, found);
  if (rc < 0) {
    SysFindClose(slot);
    return rc;
  }
  if (rc == 0) found->cName[0] = '\0';
  return slot;
}

int SysFindNext(int handle, SysFindStruct *found) {
  if (handle < 0 || handle >= FIND_SLOTS || !g_finds[handle].dir) return 0;
  FindSlot *f = &g_finds[handle];
  for (;;) {
    errno = 0;
    const struct dirent *e = readdir(f->dir);
    if (!e) return errno ? SysError(errno) : 0;
    if (!Match(f->mask, e->d_name)) continue;
    char full[PATH_MAX];
    const size_t need = strlen(f->folder) + 1 + strlen(e->d_name) + 1;
    if (need > sizeof full) continue;
    strcpy(full, f->folder);
    if (strcmp(f->folder, "/") != 0) strcat(full, "/");
    strcat(full, e->d_name);
    /* Entries that vanish meanwhile are passed over. */
    if (SysDescribe(full, e->d_name, found) == 0) return 1;
  }
}

void SysFindClose(int handle) {
  if (handle < 0 || handle >= FIND_SLOTS || !g_finds[handle].dir) return;
  closedir(g_finds[handle].dir);
  g_finds[handle].dir = NULL;
}
