// fotoretta-cli: the headless twin of the desktop application.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CliCommon.h"

static void Usage(FILE* out) {
    fprintf(out,
            "Usage:\n"
            "  fotoretta-cli disks [IMAGE...]\n"
            "      list the disks and partitions (image files given are listed as disks too)\n");
}

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage(stderr);
        return 2;
    }
    std::string cmd = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (cmd == "disks") return CmdDisks(args);
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        Usage(stdout);
        return 0;
    }
    fprintf(stderr, "fotoretta-cli: unknown command '%s'\n", cmd.c_str());
    Usage(stderr);
    return 2;
}
