#include "Dispatch.h"

int main(int argc, char** argv)
{
    return RunUpdater(argc, argv);
}
