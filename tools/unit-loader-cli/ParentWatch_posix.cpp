#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "ParentWatch.h"

int parentProcess() { return static_cast<int>(::getppid()); }

bool watchParent() {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    return ::getppid() != 1;
}
