#include <cstdio>

#include "app/core/Startup.h"

int main() {
    if (!RunStartupSteps()) return 0;
    std::puts("Procward started; see logs/ beside the executable.");
    return 0;
}
