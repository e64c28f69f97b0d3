#include "support/HostSystem.h"

bool HostSystem::underWine()
{
    return false;
}
