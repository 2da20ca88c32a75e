/* A DFU.dll that cannot load because a library it needs is missing: built
   twice, as that library (FWL_NEEDED) and as the DFU.dll that imports it. */
#ifdef FWL_NEEDED
__declspec(dllexport) int FwlNeeded(void) {
    return 1;
}
#else
__declspec(dllimport) int FwlNeeded(void);
__declspec(dllexport) unsigned __stdcall DFU_Reset_To_AP(void) {
    return (unsigned)FwlNeeded();
}
#endif
