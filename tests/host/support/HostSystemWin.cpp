#include "support/HostSystem.h"

#include <windows.h>

bool HostSystem::underWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}
