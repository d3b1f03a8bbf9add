// Program entry of the build without a window.
#include "app/kopiwart_main.h"

int main(int argc, char** argv) { return KopiwartMain(argc, argv, nullptr, JobEnvironment::FromSystem()); }
