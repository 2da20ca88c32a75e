// fwimage: the loader's image steps from the command line.
#include "Console.h"
#include "FwimageMain.h"

int main(int argc, char** argv) {
    return RunFwimage(CommandArgs(argc, argv), ConsoleOut(), ConsoleErr());
}
