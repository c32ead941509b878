#include "shell/qt/entry.h"

int main(int argc, char** argv) { return vorlinexMain(argc, argv); }
