/* hexout's file layer: the few file and folder calls it needs, errors as negative SysError codes. */
#ifndef HEXOUT_FILE_UTILITY_LINUX_H
#define HEXOUT_FILE_UTILITY_LINUX_H

#include <stdint.h>

enum {
  SYS_ERR_INVALID = -1,      /* EINVAL */
  SYS_ERR_NAME_LONG = -2,    /* ENAMETOOLONG */
  SYS_ERR_NOT_FOUND = -3,    /* ENOENT, ENXIO, EXDEV, ENODEV */
  SYS_ERR_DENIED = -4,       /* EPERM, EBADF, EACCES, ENOTBLK, EROFS, ENOSTR */
  SYS_ERR_TOO_MANY = -5,     /* ENFILE, EMFILE */
  SYS_ERR_OTHER = -6,
  SYS_ERR_NOT_FOLDER = -7,   /* ENOTDIR */
  SYS_ERR_FULL = -8,         /* EFBIG, ENOSPC */
  SYS_ERR_EXISTS = -9        /* EEXIST */
};

/* Attribute word: bits 16-31 st_mode, bits 10-15 bits 32-37 of the size, 0x10 folder, 0x01 the
   owner may read, 0x02 write, 0x200 execute; 0x40 owner, 0x80 group, 0x20 others may execute. */
typedef struct {
  uint32_t dwAttr;
  uint64_t qwSize;
  uint32_t dwTimeCreate; /* status change */
  uint32_t dwTimeAccess;
  uint32_t dwTimeWrite;
  char cName[256];
} SysFindStruct;

int SysError(int err);
/* Handles are file descriptors (>= 0) or negative codes. */
int SysOpenRead(const char *path);
int SysOpenUpdate(const char *path);
int64_t SysSize(int fd);
int64_t SysSeek(int fd, int64_t offset);
int SysRead(int fd, void *buffer, int count);
int SysWrite(int fd, const void *buffer, int count);
int SysClose(int fd);
/* The entries that path names (a last component with '*' or '?' lists its folder); a handle
   >= 0 or a code. First fills *found with the first entry (an empty name: none matched); Next
   fills it with the next one and returns 1, 0 at the end. */
int SysFindFirstEx(const char *path, SysFindStruct *found);
int SysFindNext(int handle, SysFindStruct *found);
void SysFindClose(int handle);
/* The attributes of one path (links described by their target). */
int SysDescribe(const char *path, const char *name, SysFindStruct *found);

#endif
