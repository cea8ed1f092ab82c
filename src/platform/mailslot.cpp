#include "platform/mailslot.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>

namespace lomp::platform {
namespace {

std::atomic<MailslotService*> installedService{nullptr};
std::atomic<MailslotService* (*)()> serviceMaker{nullptr};
std::once_flag serviceMade;

}  // namespace

void InstallMailslotService(MailslotService* service) {
  installedService = service;
}

void InstallMailslotServiceMaker(MailslotService* (*make)()) {
  serviceMaker = make;
}

MailslotService* InstalledMailslotService() {
  MailslotService* service = installedService.load();
  if (service != nullptr) return service;
  if (MailslotService * (*make)() = serviceMaker.load()) {
    std::call_once(serviceMade, [make] {
      if (installedService.load() == nullptr) installedService = make();
    });
  }
  return installedService.load();
}

MailslotHandle CreateMailslotFile(const std::string& path) {
  MailslotService* service = InstalledMailslotService();
  return service ? service->OpenClient(path) : kInvalidMailslotHandle;
}

MailslotHandle CreateMailslot(const std::string& path, std::uint32_t maxMessageSize) {
  MailslotService* service = InstalledMailslotService();
  return service ? service->Create(path, maxMessageSize) : kInvalidMailslotHandle;
}

bool WriteMailslot(MailslotHandle handle, const std::uint8_t* data, std::uint32_t length,
                   std::uint32_t& written) {
  written = 0;
  MailslotService* service = InstalledMailslotService();
  return service && handle != kInvalidMailslotHandle &&
         service->Write(handle, data, length, written);
}

bool GetMailslotInfo(MailslotHandle handle, std::uint32_t& nextSize, std::uint32_t& count) {
  nextSize = 0;
  count = 0;
  MailslotService* service = InstalledMailslotService();
  return service && handle != kInvalidMailslotHandle && service->GetInfo(handle, nextSize, count);
}

bool ReadMailslot(MailslotHandle handle, std::uint8_t* buffer, std::uint32_t capacity,
                  std::uint32_t& read) {
  read = 0;
  MailslotService* service = InstalledMailslotService();
  return service && handle != kInvalidMailslotHandle &&
         service->Read(handle, buffer, capacity, read);
}

void CloseMailslot(MailslotHandle handle) {
  MailslotService* service = InstalledMailslotService();
  if (service && handle != kInvalidMailslotHandle) service->Close(handle);
}

bool SplitMailslotPath(const std::string& path, std::string& server, std::string& mailslot) {
  if (path.size() < 3 || path[0] != '\\' || path[1] != '\\') return false;
  const auto serverEnd = path.find('\\', 2);
  if (serverEnd == std::string::npos || serverEnd == 2) return false;
  constexpr std::string_view kMailslot = "\\MAILSLOT\\";
  if (path.size() <= serverEnd + kMailslot.size()) return false;
  std::string middle = path.substr(serverEnd, kMailslot.size());
  std::transform(middle.begin(), middle.end(), middle.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (middle != kMailslot) return false;
  server = path.substr(2, serverEnd - 2);
  mailslot = path.substr(serverEnd);
  return true;
}

std::string PrepareMailslotsToListen() {
  MailslotService* service = InstalledMailslotService();
  return service == nullptr ? std::string("no mailslot service") : service->PrepareToListen();
}

std::string NextMailslotSource(MailslotHandle handle) {
  MailslotService* service = InstalledMailslotService();
  return service == nullptr ? std::string() : service->NextSource(handle);
}

}  // namespace lomp::platform
