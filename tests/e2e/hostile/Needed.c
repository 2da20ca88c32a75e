/* What the HOSTILE_NEEDS DFU.dll imports; never beside it. Loaded, it
   leaves a line in FWL_HOSTILE_MARKER, so a test can tell that it ran. */
#include <windows.h>

#include "Marker.h"

__declspec(dllexport) int FwlNeeded(void) { return 1; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) LeaveMarker(instance);
    return TRUE;
}
