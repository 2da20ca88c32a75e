// The device-access library DFU.dll as the loader calls it. Every argument and
// result is one 32-bit slot; stdcall, exported by the undecorated names, which
// the programs look up once they have loaded the library.
#pragma once

#include <cstdint>

#if defined(FWL_DFU_EXPORTS)
#define FWL_DFU_API __declspec(dllexport)
#else
#define FWL_DFU_API __declspec(dllimport)
#endif

extern "C" {

// Switches the instrument into its loader mode. The loader passes 3690, 791.
// Nonzero: in loader mode.
FWL_DFU_API uint32_t __stdcall DFU_Reset_To_ISP(uint32_t a, uint32_t b);

// Sends count bytes from data; zero is always 0, sum is the 16-bit byte sum
// zero-extended. Returns when the transfer is over; nonzero: delivered.
FWL_DFU_API uint32_t __stdcall DFU_Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum);

// Switches the instrument back to its application. Nonzero: done.
FWL_DFU_API uint32_t __stdcall DFU_Reset_To_AP();

// 255: still looking for the instrument; otherwise the running transfer's
// progress in percent. May be called from any thread at any moment.
FWL_DFU_API uint32_t __stdcall DFU_Get_ProcessCount();

}  // extern "C"
