/* hexout: folder listings in numeric lines and files as Base64 lines, read and written, for the SSH adapter. */
#include "file_utility_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef HEXOUT_INPUT_TIMEOUT_MS
#define HEXOUT_INPUT_TIMEOUT_MS 30000
#endif

#define BLOCK_MAX 256

static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static int memtobase64(const unsigned char *bytes, int count, char *text) {
  int out = 0;
  for (int i = 0; i < count; i += 3) {
    const unsigned v = (unsigned)bytes[i] << 16 | (i + 1 < count ? (unsigned)bytes[i + 1] << 8 : 0) |
                       (i + 2 < count ? bytes[i + 2] : 0);
    text[out++] = kAlphabet[v >> 18 & 63];
    text[out++] = kAlphabet[v >> 12 & 63];
    text[out++] = i + 1 < count ? kAlphabet[v >> 6 & 63] : '=';
    text[out++] = i + 2 < count ? kAlphabet[v & 63] : '=';
  }
  text[out] = '\0';
  return out;
}

static int base64tomem(unsigned char *out, int size, const char *text, int length) {
  unsigned v = 0;
  int bits = 0, n = 0;
  for (int i = 0; i < length && text[i] && n < size; ++i) {
    const char *p = strchr(kAlphabet, text[i]);
    if (text[i] == '=') {
      bits = 0;
      v = 0;
      continue;
    }
    if (!p || !*p) continue;
    v = v << 6 | (unsigned)(p - kAlphabet);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out[n++] = (unsigned char)(v >> bits);
    }
  }
  return n;
}

/* The inverse of the adapter's escaping: "=x" codes for characters a command line would take. */
static void DecodePath(const char *in, char *out) {
  while (*in) {
    if (*in == '=' && in[1]) {
      const char *codes = "=+-_#$&", *plain = "*?- ;=\"";
      const char *at = strchr(codes, in[1]);
      if (at) {
        *out++ = plain[at - codes];
        in += 2;
        continue;
      }
    }
    *out++ = *in++;
  }
  *out = '\0';
}

static char g_input[4096];
static int g_inputLength = 0;

/* The next line of standard input (CR handed out as LF), waiting at most timeoutMs for each
   piece; NULL when none came, or input ended or failed. */
static char *InputRead(int *length, int previous, int timeoutMs) {
  if (previous > 0) {
    memmove(g_input, g_input + previous, (size_t)(g_inputLength - previous));
    g_inputLength -= previous;
  }
  while (g_inputLength > 0 && (g_input[0] == '\r' || g_input[0] == '\n')) {
    memmove(g_input, g_input + 1, (size_t)--g_inputLength);
  }
  for (;;) {
    for (int i = 0; i < g_inputLength; ++i) {
      if (g_input[i] == '\n' || g_input[i] == '\r') {
        g_input[i] = '\n';
        *length = i + 1;
        return g_input;
      }
    }
    if (g_inputLength >= (int)sizeof g_input) return NULL;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(0, &set);
    struct timeval tv = {(timeoutMs + 999) / 1000, 0};
    const int ready = select(1, &set, NULL, NULL, &tv);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return NULL;
    const ssize_t n = read(0, g_input + g_inputLength, sizeof g_input - (size_t)g_inputLength);
    if (n <= 0) return NULL;
    g_inputLength += (int)n;
  }
}

static int64_t List(const char *path, int foldersOnly) {
  SysFindStruct f;
  int handle = SysFindFirstEx(path, &f);
  if (handle < 0) return handle;
  int64_t count = 0;
  int more = f.cName[0] != '\0';
  while (more) {
    const int folder = (f.dwAttr & 0x10) != 0;
    const int dots = strcmp(f.cName, ".") == 0 || strcmp(f.cName, "..") == 0;
    if (folder ? !dots : !foldersOnly) {
      printf(">%u %" PRIu64 " %u %u %s\n", f.dwAttr, f.qwSize, f.dwTimeWrite, f.dwTimeCreate, f.cName);
      ++count;
    }
    more = SysFindNext(handle, &f) > 0;
  }
  SysFindClose(handle);
  return count;
}

static int64_t Read(const char *path, int frame, int64_t start, int64_t limit, int block) {
  const int fd = SysOpenRead(path);
  if (fd < 0) {
    if (frame) printf("LEN<%d>\n", fd);
    return fd;
  }
  const int64_t size = SysSize(fd);
  if (frame) printf("LEN<%" PRId64 ">\n", size);
  int64_t count = 0;
  if (start > 0 && SysSeek(fd, start) < 0) count = SYS_ERR_INVALID;
  unsigned char data[BLOCK_MAX];
  char text[BLOCK_MAX * 2];
  while (count >= 0) {
    int want = block;
    if (limit > 0 && limit - count < want) want = (int)(limit - count);
    if (want <= 0) break;
    const int n = SysRead(fd, data, want);
    if (n < 0) count = n;
    if (n <= 0) break;
    memtobase64(data, n, text);
    printf(">%s\n", text);
    count += n;
  }
  SysClose(fd);
  return count;
}

static int64_t Write(const char *path, int frame, int64_t start) {
  char temp[PATH_MAX + 32];
  int fd;
  int64_t announced = 0;
  if (start > 0) {
    /* An update at an offset writes in place. */
    fd = SysOpenUpdate(path);
    if (fd >= 0) {
      const int64_t size = SysSize(fd);
      if (size < start || SysSeek(fd, start) < 0) {
        SysClose(fd);
        fd = SYS_ERR_INVALID;
      }
    }
    announced = start;
  } else {
    /* A new version goes to a temporary name and replaces the old one only when whole. */
    if (strlen(path) + 16 > sizeof temp) {
      fd = SYS_ERR_NAME_LONG;
    } else {
      snprintf(temp, sizeof temp, "%s.hexout-XXXXXX", path);
      fd = mkstemp(temp);
      if (fd < 0) {
        fd = SysError(errno);
      } else {
        struct stat old;
        if (stat(path, &old) == 0) {
          if (fchown(fd, old.st_uid, old.st_gid) != 0) { /* only where permitted */ }
          fchmod(fd, old.st_mode & 07777);
        } else {
          const mode_t mask = umask(0);
          umask(mask);
          fchmod(fd, 0666 & ~mask);
        }
      }
    }
  }
  if (frame) printf("LEN<%" PRId64 ">\n", fd < 0 ? (int64_t)fd : announced);
  fflush(stdout);
  if (fd < 0) return fd;
  int64_t count = 0;
  int length = 0;
  unsigned char data[BLOCK_MAX + 4];
  for (;;) {
    const char *line = InputRead(&length, length, HEXOUT_INPUT_TIMEOUT_MS);
    if (!line || length < 2 || line[0] != '>' || line[length - 1] != '\n') {
      count = SYS_ERR_OTHER;
      break;
    }
    if (length == 7 && memcmp(line, ">STOP<", 6) == 0) break;
    const int n = base64tomem(data, BLOCK_MAX, line + 1, length - 2);
    const int written = SysWrite(fd, data, n);
    if (written != n) {
      count = written < 0 ? written : SYS_ERR_DENIED;
      break;
    }
    count += n;
  }
  if (start > 0) {
    if (SysClose(fd) < 0 && count >= 0) count = SYS_ERR_OTHER;
  } else {
    const int closed = fsync(fd) == 0 ? SysClose(fd) : (SysClose(fd), SysError(errno));
    if (count >= 0 && closed < 0) count = closed;
    if (count >= 0 && rename(temp, path) != 0) count = SysError(errno);
    if (count < 0) unlink(temp);
  }
  return count;
}

int main(int argc, char **argv) {
  int frame = 0, foldersOnly = 0, mode = 0, block = BLOCK_MAX;
  int64_t start = 0, limit = 0;
  static char path[PATH_MAX];
  int havePath = 0;
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (a[0] != '-') {
      if (havePath || strlen(a) >= sizeof path) {
        printf("syntax error at param %i\n", i);
        return 1;
      }
      DecodePath(a, path);
      havePath = 1;
      continue;
    }
    switch (a[1]) {
      case 'v':
        printf("version %i\n", 1);
        return 0;
      case 'e': frame = 1; break;
      case 'o': foldersOnly = 1; break;
      case 'l': mode = 'l'; break;
      case 'w': mode = 'w'; break;
      case 's':
      case 'n':
        if (a[2] < '0' || a[2] > '9') {
          printf("syntax error at param %i\n", i);
          return 1;
        }
        if (a[1] == 's')
          start = strtoll(a + 2, NULL, 10);
        else
          limit = strtoll(a + 2, NULL, 10);
        break;
      case 'r':
        mode = 'r';
        if (a[2] >= '0' && a[2] <= '9') block = atoi(a + 2);
        if (block <= 0 || block > BLOCK_MAX) block = BLOCK_MAX;
        break;
      default:
        printf("syntax error at param %i\n", i);
        return 1;
    }
  }
  if (!havePath) {
    printf("error no path defined\n");
    return 1;
  }
  int64_t count = 0;
  if (mode == 'w') {
    /* A session that ends hangs up: the input ends then, and the temporary file goes. */
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    count = Write(path, frame, start);
  } else {
    if (frame) {
      if (mode == 'l') printf("LEN<0>\n");
    }
    if (mode == 'l') count = List(path, foldersOnly);
    if (mode == 'r') count = Read(path, frame, start, limit, block);
  }
  if (frame) printf("END<%" PRId64 ">\n", count);
  return count < 0 ? 1 : 0;
}
