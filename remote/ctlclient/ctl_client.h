/* libCtlClient32: the controller library of ctlcomm:// connections, with its protocol to a controller. */
#ifndef KPW_REMOTE_CTL_CLIENT_H
#define KPW_REMOTE_CTL_CLIENT_H

/*
 * The program loads this library at run time (dlopen) and fetches its twenty functions by name;
 * the library speaks to a controller over TCP. Our controller is the simulator ctlsim, which
 * serves one folder as a controller's file system (remote/ctlsim).
 *
 * Every function returns CI_OK (0) or one of the result codes below. A handle stands for one
 * link to a controller; it is a number, never a pointer, and a number is not used again within
 * a process. One thread at a time works on a handle; only CiDisconnect may be called from
 * another thread while a call runs: it ends the link, and the running call returns CI_E_HANDLE.
 *
 * Paths are absolute controller paths ("/" is the root, "/" separates folders, a "\" is a byte of
 * a name), at most CI_PATH_MAX bytes; their bytes go to the controller as they are, in the
 * controller's name encoding (UTF-8 or Latin-1, the caller's business). "." and ".." are no
 * names there.
 *
 * Protocol (TCP, port 9200 when the address names none). Lines end in "\n"; words are separated
 * by one space; in paths and names every byte below 0x21 or above 0x7E and "%" is written as
 * "%XX" (two upper-case hex digits). Numbers are decimal.
 *
 *   controller, on connect:     CTL 1 <UTF-8|LATIN-1>           (its name encoding)
 *   INFO                        -> 0 <start folder>
 *   STAT <path>                 -> 0 <attr> <size> <created> <accessed> <written>
 *   ATTR <path> <attr>          -> 0
 *   LIST <folder> <mask>        -> E <attr> <size> <created> <accessed> <written> <name>
 *                                  (one line per entry; "*" and "?" of the mask match any bytes
 *                                  and one byte, letters of either case alike), then 0
 *   MKDIR <path> | RMDIR <path> | DEL <path> | REN <old> <new>  -> 0
 *   PUT <path> <size, -1 unknown> -> 0 (ready); the client then sends blocks "D <n>\n" followed by
 *                                  n bytes, then "END\n" -> 0 once the file has its name (a file
 *                                  is written beside its name and renamed over it whole), or
 *                                  "ABORT\n" -> 0 (nothing kept)
 *   GET <path>                  -> 0 <size>; then blocks "D <n>\n" + n bytes, then "END\n", or
 *                                  "ERR <code>\n" when the file cannot be read to its end
 *   PING                        -> 0
 * A request that fails is answered with its result code alone ("37"). Times are seconds since
 * 1970 UTC. Entries "." and ".." are never listed.
 *
 * The simulator's test commands (any link may send them):
 *   SIM DROP                    -> 0; every other link is dropped at once
 *   SIM CUT <n>                 -> 0; the next transfer drops its link after n bytes of file data
 *   SIM DELAY <ms>              -> 0; every answer and every block waits ms milliseconds (0: none)
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CI_API __attribute__((visibility("default")))

/* The file name of the library. */
#define CI_LIBRARY_NAME "libCtlClient32.so"
#define CI_DEFAULT_PORT 9200
#define CI_PATH_MAX 4095

typedef uint32_t CiHandle; /* 0: none */

/* Result codes. */
enum {
  CI_OK = 0,
  CI_E_ARGUMENT = 2,  /* a bad argument, or a path with "." or ".." */
  CI_E_NOT_READY = 3, /* CiInit was not called */
  CI_E_NO_MEMORY = 5,
  CI_E_LINK_LOST = 7, /* the link broke; CiIsOnline says 0 from then on */
  CI_E_NAME_TOO_LONG = 13,
  CI_E_DEVICE_FULL = 14,      /* no room left on the controller */
  CI_E_BAD_ADDRESS = 20,      /* the address names no host */
  CI_E_NO_CONTROLLER = 22,    /* nothing answers at the address */
  CI_E_TIMEOUT = 23,          /* no answer in time; the link is given up */
  CI_E_HANDLE = 26,           /* no such handle, or its link was ended by CiDisconnect */
  CI_E_NOT_FOUND = 37,        /* no such file or folder (also: a folder on the way is missing) */
  CI_E_NOT_SUPPORTED = 44,    /* e.g. attributes of a link */
  CI_E_NOT_A_CONTROLLER = 48, /* the peer does not speak this protocol */
  CI_E_EXISTS = 60,           /* the name is taken */
  CI_E_DENIED = 61,           /* a read-only file, or a request the controller refuses */
  CI_E_NOT_EMPTY = 62,        /* a folder that still holds entries */
  CI_E_IS_FOLDER = 63,        /* a folder where a file is wanted */
  CI_E_NOT_FOLDER = 64,       /* a file where a folder is wanted */
  CI_E_CALLBACK = 65,         /* the caller's callback ended the transfer */
  CI_E_LOCAL_FILE = 66,       /* the local file cannot be read or written */
  CI_E_IO = 67                /* the controller could not read or write its medium */
};

/* Attribute word of a file record, of CiGetFileAttr and CiSetFileAttr. */
enum {
  CI_ATTR_READABLE = 0x01,
  CI_ATTR_WRITABLE = 0x02, /* clear: read-only */
  CI_ATTR_FOLDER = 0x10,   /* also for a link that leads to a folder */
  CI_ATTR_HIDDEN = 0x20,   /* a name beginning with "." */
  CI_ATTR_ARCHIVE = 0x40,
  CI_ATTR_SYSTEM = 0x80,
  CI_ATTR_NORMAL = 0x200,     /* accepted by CiSetFileAttr, not kept */
  CI_ATTR_SIZE_HIGH = 0xFC00, /* bits 32-37 of the size */
  CI_ATTR_TYPE_MASK = 0xF0000000u,
  CI_ATTR_TYPE_LINK = 0xA0000000u /* a symbolic link (never followed by the controller) */
};
/* CiSetFileAttr keeps READABLE and WRITABLE (the owner's read and write bits); the other bits are
 * accepted and not kept. */

/* One entry of CiListFiles, in the layout of the Sys file API's find record. */
typedef struct CiFileRecord {
  uint32_t attr;
  uint64_t size;
  int64_t timeCreate; /* seconds since 1970 UTC */
  int64_t timeAccess;
  int64_t timeWrite;
  char name[256]; /* terminated */
} CiFileRecord;

/* The progress of a transfer: the library sets total at the start and advances done as data
 * moves, with atomic stores, so that another thread may read both at any time (atomically).
 * Both are 64-bit, the total too, so that a file over 4 GiB shows its real size. */
typedef struct CiProgress {
  uint64_t done;
  uint64_t total;
} CiProgress;

/* Called on changes of a link: online 1 when it is made, 0 when it is lost or ended. */
typedef void (*CiStateFn)(void* context, CiHandle handle, int online);

/* The connection parameter record of CiConnectWait. */
typedef struct CiConnectParams {
  uint8_t flags; /* CI_CONNECT_SECONDS: the two time-outs are in seconds, else in ms */
  uint8_t reserved1;
  uint16_t reserved2;
  uint16_t connectTimeout; /* making the link; 0: 10 s */
  uint16_t answerTimeout;  /* each answer of the controller; 0: 30 s */
  uint32_t reserved[3];
  CiStateFn onState; /* may be null */
  void* context;     /* handed to onState */
} CiConnectParams;

enum { CI_CONNECT_SECONDS = 0x20 };

typedef int (*CiEntryFn)(void* context, const CiFileRecord* record); /* non-zero: go on */
typedef int (*CiReadFn)(void* context, unsigned char* buffer,
                        int size); /* bytes, 0 at the end, negative: failed */
typedef int (*CiWriteFn)(void* context, const unsigned char* buffer, int count); /* must return count */

/* The library's own start and end; every other function answers CI_E_NOT_READY before CiInit. */
CI_API int CiInit(void);
CI_API int CiExit(void); /* ends every link */
CI_API int CiGetVersion(char* text, int size);
/* 1 while the link of handle is up, else 0. */
CI_API int CiIsOnline(CiHandle handle);
/* A German text for a result code. */
CI_API int CiErrorToText(int code, char* text, int size);
CI_API int CiDisconnect(CiHandle handle);
/* A new link with the default time-outs. */
CI_API int CiConnect(CiHandle* handle, const char* address);
/* address: "host:port", "host" (port 9200), "[v6]:port"; a host of several ":" without brackets
 * is an IPv6 address without a port. When *handle names a link of this process, that link is
 * made again under the same handle; otherwise a new handle is stored. station (null or "") and
 * flags (0) are reserved. */
CI_API int CiConnectWait(CiHandle* handle, const char* address, const CiConnectParams* params,
                         const char* station, unsigned flags);
/* pathMask: a folder, "/" and a name mask, as "/a/b/x*.txt". */
CI_API int CiListFiles(CiHandle handle, const char* pathMask, CiEntryFn entry, void* context);
CI_API int CiCreateFolder(CiHandle handle, const char* path, unsigned flags);
CI_API int CiDeleteFolder(CiHandle handle, const char* path);
CI_API int CiDeleteFile(CiHandle handle, const char* path);
/* Never replaces an existing name. */
CI_API int CiRenameFile(CiHandle handle, const char* oldPath, const char* newPath);
CI_API int CiUploadFile(CiHandle handle, const char* remote, const char* local, unsigned flags,
                        CiProgress* progress);
/* size: the bytes the source will give, -1 when not known. */
CI_API int CiUploadProc(CiHandle handle, const char* remote, CiReadFn read, unsigned flags, void* context,
                        CiProgress* progress, int64_t size);
/* The local file is written beside its name and renamed over it when whole. */
CI_API int CiDownloadFile(CiHandle handle, const char* remote, const char* local, CiProgress* progress);
CI_API int CiDownloadProc(CiHandle handle, const char* remote, CiWriteFn write, void* context,
                          CiProgress* progress);
CI_API int CiGetFileAttr(CiHandle handle, const char* path, uint32_t* attr);
CI_API int CiSetFileAttr(CiHandle handle, const char* path, uint32_t attr);
/* what 0: the controller's start folder. *size: the buffer's size on entry, the text's length on
 * return (CI_E_NAME_TOO_LONG with the size needed when it does not fit). flags: 0. */
CI_API int CiGetInfos(CiHandle handle, int what, char* text, int* size, unsigned flags);

#ifdef __cplusplus
}
#endif

#endif
