#include "mail/AlertCounters.h"

AlertCounters& AlertCounters::process() {
    static AlertCounters counters;
    return counters;
}
