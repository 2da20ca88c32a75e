/* What the HOSTILE_NEEDS DFU.dll imports; never beside it. */
__declspec(dllexport) int FwlNeeded(void) { return 1; }
