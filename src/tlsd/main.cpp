// Program entry: see tlsd/entry.h.
#include <cstdio>

#include "tlsd/entry.h"

int main(int argc, char** argv) {
    return morvex::runEntry(argc, argv, {stdin, stdout, stderr}, morvex::EntrySteps::production());
}
