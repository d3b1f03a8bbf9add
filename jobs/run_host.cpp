// The answers of an unattended run.
#include "jobs/run_host.h"

int UnattendedAnswer(u32 type) {
  switch (type & MB_TYPEMASK) {
    case MB_OK:
    case MB_OKCANCEL: return IDOK;            // go on; the row fails on its own
    case MB_ABORTRETRYIGNORE: return IDIGNORE; // skip the file; retrying alone could loop
    case MB_YESNOCANCEL:
    case MB_YESNO: return IDNO;               // consent is never assumed
    case MB_RETRYCANCEL: return IDCANCEL;
    default: return IDOK;
  }
}
