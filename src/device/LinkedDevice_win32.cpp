#include "LinkedDevice.h"

#include "DFU.h"

namespace {

class TLinkedDevice final : public TDevice {
public:
    uint32_t ResetToISP(uint32_t arg1, uint32_t arg2) override { return DFU_Reset_To_ISP(arg1, arg2); }
    uint32_t Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) override {
        return DFU_Download(data, zero, count, sum);
    }
    uint32_t ResetToAP() override { return DFU_Reset_To_AP(); }
    uint32_t ProcessCount() override { return DFU_Get_ProcessCount(); }
};

}  // namespace

TDevice& LinkedDevice() {
    static TLinkedDevice device;
    return device;
}
