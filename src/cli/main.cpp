#include "cli/driver.h"

int main(int argc, char** argv) { return KestraneMain(argc, argv); }
