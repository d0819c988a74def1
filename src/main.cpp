// Process entry point; everything else happens in KovrelMain.
#include "CommandLine.h"

int main(int argc, char** argv) {
  platform::InitProcess();
  return KovrelMain(platform::CommandLineWords(argc, argv));
}
