#include "download/LibraryCalls.h"

#include <array>

namespace {

using C = TLibraryCall;
using E = TEnding;

constexpr std::array<TLibraryCallRow, kLibraryCallCount> kRows = {{
    {C::None, "", std::nullopt, std::nullopt},
    {C::Load, "DFU.dll", E::NoLibrary, E::LoadCrashed},
    {C::ResetToISP, "DFU_Reset_To_ISP", E::LoaderRefused, E::LoaderCrashed},
    {C::Download, "DFU_Download", E::TransferFailed, E::TransferCrashed},
    {C::ResetToAP, "DFU_Reset_To_AP", E::ReturnFailed, E::ReturnCrashed},
    {C::ProcessCount, "DFU_Get_ProcessCount", std::nullopt, std::nullopt},
}};

constexpr bool InOrder() {
    for (size_t i = 0; i < kRows.size(); ++i)
        if (static_cast<size_t>(kRows[i].Call) != i) return false;
    return true;
}
static_assert(InOrder(), "one row per call, in the enum's order");
static_assert(static_cast<size_t>(TLibraryCall::ProcessCount) + 1 == kLibraryCallCount);

}  // namespace

const TLibraryCallRow& LibraryCallRow(TLibraryCall call) noexcept {
    const auto at = static_cast<size_t>(call);
    return kRows[at < kRows.size() ? at : 0];
}

TEnding CrashedEnding(TLibraryCall call, TLibraryCall step) noexcept {
    if (const std::optional<TEnding> own = LibraryCallRow(call).Crashed) return *own;
    if (const std::optional<TEnding> stepOwn = LibraryCallRow(step).Crashed; stepOwn && step != C::Load)
        return *stepOwn;
    return E::LoaderCrashed;
}
