// The device library as the download steps see it: its four calls behind an
// interface, so that one download serves the window (library loaded as it
// starts) and fwimage (library loaded when a download asks for it), and the
// tests' fakes. Portable; the binding is a Windows file of this folder.
#pragma once

#include <cstdint>

struct TDevice {
    // DFU_Reset_To_ISP, DFU_Download, DFU_Reset_To_AP: nonzero means success.
    virtual uint32_t ResetToISP(uint32_t arg1, uint32_t arg2) = 0;
    virtual uint32_t Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) = 0;
    virtual uint32_t ResetToAP() = 0;
    // DFU_Get_ProcessCount: 255 while searching, else the percentage. Any
    // thread, any moment, also while one of the other three runs.
    virtual uint32_t ProcessCount() = 0;
    virtual ~TDevice() = default;
};
