#include "platform/netbios.h"

#include <mutex>

namespace lomp::platform {
namespace {

std::atomic<NetbiosProvider*> installedProvider{nullptr};
std::atomic<NetbiosProvider* (*)()> providerMaker{nullptr};
std::once_flag providerMade;

std::uint8_t FailAtOnce(NCB& ncb, std::uint8_t code) {
  ncb.ncb_retcode = code;
  ncb.ncb_cmd_cplt = code;
  if ((ncb.ncb_command & ASYNCH) && ncb.ncb_event != nullptr) ncb.ncb_event->Set();
  return code;
}

}  // namespace

std::uint8_t Netbios(NCB* ncb) {
  if (ncb == nullptr) return NRC_INVADDRESS;
  const bool asynchronous = (ncb->ncb_command & ASYNCH) != 0;
  if (ncb->ncb_post != nullptr || (!asynchronous && ncb->ncb_event != nullptr)) {
    return FailAtOnce(*ncb, NRC_ILLCMD);
  }
  NetbiosProvider* provider = InstalledNetbiosProvider();
  if (provider == nullptr) return FailAtOnce(*ncb, NRC_OPENERR);
  return provider->Submit(*ncb);
}

bool NetbiosWithin(NCB* ncb, std::chrono::milliseconds limit) {
  if (ncb == nullptr || (ncb->ncb_command & ASYNCH) != 0 || ncb->ncb_event != nullptr ||
      ncb->ncb_post != nullptr) {
    return false;
  }
  NetbiosProvider* provider = InstalledNetbiosProvider();
  return provider != nullptr && provider->RunWithin(*ncb, limit);
}

void InstallNetbiosProvider(NetbiosProvider* provider) {
  installedProvider = provider;
}

void InstallNetbiosProviderMaker(NetbiosProvider* (*make)()) {
  providerMaker = make;
}

NetbiosProvider* InstalledNetbiosProvider() {
  NetbiosProvider* provider = installedProvider.load();
  if (provider != nullptr) return provider;
  if (NetbiosProvider * (*make)() = providerMaker.load()) {
    std::call_once(providerMade, [make] {
      if (installedProvider.load() == nullptr) installedProvider = make();
    });
  }
  return installedProvider.load();
}

std::string NetbiosNamesUnavailable() {
  const NetbiosProvider* provider = InstalledNetbiosProvider();
  return provider == nullptr ? std::string() : provider->NamesUnavailable();
}

std::string NetbiosPrepareToListen() {
  NetbiosProvider* provider = InstalledNetbiosProvider();
  return provider == nullptr ? std::string("no NetBIOS provider") : provider->PrepareToListen();
}

std::string NetbiosSessionPeer(std::uint8_t lana, std::uint8_t lsn) {
  NetbiosProvider* provider = InstalledNetbiosProvider();
  return provider == nullptr ? std::string() : provider->SessionPeer(lana, lsn);
}

std::string NetbiosNameOwner(std::uint8_t lana, const std::uint8_t* ncbName) {
  NetbiosProvider* provider = InstalledNetbiosProvider();
  return provider == nullptr ? std::string() : provider->NameOwner(lana, ncbName);
}

}  // namespace lomp::platform
