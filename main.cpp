#include "gui_main.h"

int main(int argc, char** argv) { return tessaline::guiMain(argc, argv); }
