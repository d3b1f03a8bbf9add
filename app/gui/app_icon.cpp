// The program's icon, drawn in XPM so that it lives in the source like any other resource.
#include "app/gui/app_icon.h"

#include <QPixmap>

namespace {

// A blue tile with a white arrow over a yellow bar: files going somewhere.
// clang-format off
const char* const kIcon128[] = {
    "16 16 5 1",
    "  c None",
    ". c #1F4E8C",
    "+ c #4F8FD8",
    "@ c #FFFFFF",
    "# c #F2B431",
    "                ",
    " .............. ",
    " .++++++++++++. ",
    " .++++++++++++. ",
    " .+++++++@++++. ",
    " .+++++++@@+++. ",
    " .+@@@@@@@@@++. ",
    " .+@@@@@@@@@@+. ",
    " .+@@@@@@@@@++. ",
    " .+++++++@@+++. ",
    " .+++++++@++++. ",
    " .++++++++++++. ",
    " .+##########+. ",
    " .++++++++++++. ",
    " .............. ",
    "                ",
};
// clang-format on

}  // namespace

QIcon AppIcon(UINT resource) {
  (void)resource;  // the program has the one icon
  return QIcon(QPixmap(kIcon128));
}
