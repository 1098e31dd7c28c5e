#include "EngineLock.h"

std::recursive_mutex& engineLock()
{
    // A function-local object: constructed on first use, so no static-initialisation order issue.
    static std::recursive_mutex lock;
    return lock;
}
