// The simdrive command: sets up simulated drives and discs, injects faults and dumps what was written.
#include "simdrive/sim_drive.h"

int main(int argc, char** argv) { return simdrive::ToolMain(argc, argv); }
