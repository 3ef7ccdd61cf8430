// Program entry: see tlsd/entry.h.
#include <cstdio>

#include "tlsd/entry.h"
#include "tlsd/parent_watch.h"

int main(int argc, char** argv) {
    morvex::ParentWatch::recordParent();
    return morvex::runEntry(argc, argv, {stdin, stdout, stderr}, morvex::EntrySteps::production());
}
