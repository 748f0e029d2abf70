#include "pending.h"

#include <cstdio>

int commandNotBuilt(const char* option)
{
    std::fprintf(stderr, "ktdiag: the %s command is not built yet\n", option);
    return 1;
}
