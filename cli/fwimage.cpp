// fwimage: the loader's image steps from the command line.
#include "Console.h"
#include "FwimageMain.h"
#include "runtime/CommandLine.h"

int main(int argc, char** argv) {
    return RunFwimage(rt::CommandArgs(argc, argv), ConsoleOut(), ConsoleErr());
}
