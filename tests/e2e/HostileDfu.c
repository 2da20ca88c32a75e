#ifdef FWL_NEEDED
__declspec(dllexport) int FwlNeeded(void) { return 1; }
#else
__declspec(dllimport) int FwlNeeded(void);
__declspec(dllexport) unsigned __stdcall DFU_Reset_To_AP(void) { return (unsigned)FwlNeeded(); }
#endif
