// Program entry of the build with a window.
#include "app/gui/gui_frame.h"
#include "app/kopiwart_main.h"

int main(int argc, char** argv) {
  return KopiwartMain(argc, argv, &MakeGuiFrame, JobEnvironment::FromSystem());
}
