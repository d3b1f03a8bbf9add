// Program entry of the build with a window.
#include "app/gui/gui_frame.h"

int main(int argc, char** argv) {
  return GuiProgramMain(argc, argv);
}
