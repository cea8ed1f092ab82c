#include "app/messenger/personal_delivery.h"

#include "netbios/name_port.h"
#include "platform/netbios.h"
#include "runtime/errors.h"
#include "runtime/trace_log.h"
#include "smb/smb_pdu.h"

namespace lomp {
namespace {

constexpr const char* kSource = ".\\lomp_messenger";

// A recipient answers "no" with an error class in its reply.
void RequireAccepted(const CSmbPdu& reply, std::uint8_t command) {
  if (reply.errorClass == 0) return;
  throw KrDataTransmissionErr(FormatText("SMB %02X refused, class %u, code %u", command,
                                         unsigned{reply.errorClass}, unsigned{reply.errorCode}));
}

// Whether a failed reply to a single block still shows that the block went
// out: the reply did not come in time (a receiver that takes the message
// need not answer at once), or a reply came that is not one we can read.
bool ReplyCameOrWasLate(const KrDataTransmissionErr& error) {
  return error.returnCode == platform::NRC_CMDTMO || error.returnCode == -1;
}

// Runs `exchange` on `connection`, hanging the session up on every way out.
template <class Exchange>
void OnSession(CConnection* connection, Exchange exchange) {
  try {
    exchange(*connection);
  } catch (...) {
    connection->Disconnect();
    throw;
  }
  connection->Disconnect();
}

}  // namespace

bool SendPersonalMsg_Singleblock(CPort& port, const MessageRecord& record) {
  LogTrace(kSource, __LINE__, "SendPersonalMsg_Singleblock", "Entering...");
  // A recipient that ended the session on a single block before gets a
  // multi-block message at once: one session instead of two.
  if (port.TakesMultiBlockOnly(record.recipient)) {
    LogTrace(kSource, __LINE__, "SendPersonalMsg_Singleblock",
             "Recipient takes multi-block messages only");
    return SendPersonalMsg_Multiblock(port, record);
  }
  CSmbPdu_sends pdu;
  pdu.Reset();
  pdu.originator = record.sender;
  pdu.destination = record.recipientName;
  pdu.text = record.text;

  CConnection* connection = nullptr;
  port.Connect(record.recipient, connection);
  if (connection == nullptr) return false;

  bool sessionEndedUnanswered = false;
  OnSession(connection, [&](CConnection& session) {
    StartSending(record);
    session.Send(pdu);
    try {
      session.Receive(pdu);
    } catch (const KrDataTransmissionErr& error) {
      // A session the recipient ended without a word is a refusal of the
      // single block.
      sessionEndedUnanswered = SessionEndedByPeer(error);
      if (sessionEndedUnanswered || ReplyCameOrWasLate(error)) return;
      // A RECEIVE that failed here (no thread, no descriptor, a session
      // gone) says nothing of what the recipient took: no "Sent." for it.
      throw;
    }
    RequireAccepted(pdu, kSmbSendMessage);
  });

  if (sessionEndedUnanswered) {
    // Some receivers (Samba) take messages only as multi-block exchanges.
    port.RememberMultiBlockOnly(record.recipient);
    LogTrace(kSource, __LINE__, "SendPersonalMsg_Singleblock",
             "Session ended without a reply, sending as multi-block");
    return SendPersonalMsg_Multiblock(port, record);
  }
  LogTrace(kSource, __LINE__, "SendPersonalMsg_Singleblock", "Leaving...");
  return true;
}

bool SendPersonalMsg_Multiblock(CPort& port, const MessageRecord& record) {
  LogTrace(kSource, __LINE__, "SendPersonalMsg_Multiblock", "Entering...");
  CSmbPdu_sendstrt start;
  CSmbPdu_sendtxt text;
  CSmbPdu_sendend end;

  CConnection* connection = nullptr;
  port.Connect(record.recipient, connection);
  if (connection == nullptr) return false;

  OnSession(connection, [&](CConnection& session) {
    StartSending(record);
    start.Reset();
    start.originator = record.sender;
    start.destination = record.recipientName;
    session.Send(start);
    session.Receive(start);
    RequireAccepted(start, kSmbSendStartMbMessage);
    // A reply without parameter words leaves word 0 as Reset made it: 0.
    const std::uint16_t groupId = start.parameterWords[0];

    for (std::size_t offset = 0; offset < record.text.size(); offset += kPersonalBlockSize) {
      text.Reset();
      text.wordCount = 1;
      text.parameterWords[0] = groupId;
      text.text = record.text.substr(offset, kPersonalBlockSize);
      session.Send(text);
      session.Receive(text);
      RequireAccepted(text, kSmbSendTextMbMessage);
    }

    end.Reset();
    end.wordCount = 1;
    end.parameterWords[0] = groupId;
    session.Send(end);
    session.Receive(end);
    RequireAccepted(end, kSmbSendEndMbMessage);
  });
  LogTrace(kSource, __LINE__, "SendPersonalMsg_Multiblock", "Leaving...");
  return true;
}

}  // namespace lomp
