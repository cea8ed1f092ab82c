#include "app/messenger/group_delivery.h"

#include "mailslot/mailslot_pdu.h"
#include "runtime/trace_log.h"

namespace lomp {
namespace {

constexpr const char* kSource = ".\\lomp_messenger";

bool IsBreak(char c) {
  return c == ' ' || c == '\x13';
}

// One datagram through its own connection.
bool SendOne(CMailslot& port, const std::string& address, CMailslotPdu& pdu) {
  CConnection* connection = nullptr;
  port.Connect(address, connection);
  if (connection == nullptr) return false;
  try {
    connection->Send(pdu);
  } catch (...) {
    connection->Disconnect();
    throw;
  }
  connection->Disconnect();
  return true;
}

}  // namespace

std::vector<std::string> SplitGroupText(const std::string& text, std::size_t size) {
  std::vector<std::string> fragments;
  if (size == 0) return {text};
  const std::size_t length = text.size();
  std::size_t start = 0;
  std::size_t end = size;
  while (start < length) {
    if (end < length) {
      std::size_t j = end;
      while (j > start && !IsBreak(text[j - 1])) --j;
      if (j > start) end = j;
    }
    fragments.push_back(text.substr(start, std::min(end, length) - start));
    start = end;
    end += size;
  }
  return fragments;
}

bool SendGroupMsg_Singleblock(CMailslot& port, const MessageRecord& record) {
  LogTrace(kSource, __LINE__, "SendGroupMsg_Singleblock", "Entering...");
  CMailslotPdu pdu;
  pdu.originator = record.sender;
  pdu.destination = record.recipientName;
  pdu.text = record.text;
  if (!SendOne(port, record.recipient, pdu)) return false;
  LogTrace(kSource, __LINE__, "SendGroupMsg_Singleblock", "Leaving...");
  return true;
}

bool SendGroupMsg_Multiblock(CMailslot& port, const MessageRecord& record,
                             std::size_t fragmentSize) {
  LogTrace(kSource, __LINE__, "SendGroupMsg_Multiblock", "Entering...");
  CMailslotPdu pdu;
  for (const std::string& fragment : SplitGroupText(record.text, fragmentSize)) {
    pdu.originator = record.sender;
    pdu.destination = record.recipientName;
    pdu.text = fragment;
    if (!SendOne(port, record.recipient, pdu)) return false;
  }
  LogTrace(kSource, __LINE__, "SendGroupMsg_Multiblock", "Leaving...");
  return true;
}

}  // namespace lomp
