// The file-dialog switch, which has nothing to install over Qt.
#include "platform/gui/ofn_hook.h"

BOOL OfnInstallHook(UINT /*flags*/) {
  return TRUE;
}
