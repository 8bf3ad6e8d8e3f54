#include "service/TovikRdpKeep.h"

#include "base/TovikBytes.h"

namespace tovik {

bool IsVirtualMachine(std::string_view AManufacturer, std::string_view AProduct) {
  std::string both;
  if (!AManufacturer.empty()) both += " " + std::string(AManufacturer);
  if (!AProduct.empty()) both += " " + std::string(AProduct);
  both = AsciiUpper(both);
  for (const char* name : {"QEMU", "KVM", "PROXMOX", "VMWARE", "VIRTUALBOX", "VBOX", "PARALLELS", "VIRTUAL MACHINE",
                           "XEN", "BOCHS"})
    if (both.find(name) != std::string::npos) return true;
  return false;
}

void TRdpKeep::Check(TTick ANow) {
  if (FNextAt && ANow < *FNextAt) return;
  FNextAt = ANow + kRdpKeepGapMs;
  if (FOn) return;
  const std::optional<int> value = FDeps.ReadSetting ? FDeps.ReadSetting() : std::nullopt;
  const bool on = !value || *value == -1 ? (FDeps.IsVirtualMachine && FDeps.IsVirtualMachine()) : *value != 0;
  FOn = on;
  if (!FDeps.Log) return;
  FDeps.Log(on ? "Remote Desktop: a disconnected remote (xrdp) session keeps drawing on its own, so its screen keeps "
                 "going; no session is moved"
               : "Remote Desktop: disconnected sessions stay as they are ([Service] KeepScreenOnDisconnect=1 in "
                 "Tovik.ini to change)");
}

}  // namespace tovik
