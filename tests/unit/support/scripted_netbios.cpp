#include "support/scripted_netbios.h"

#include <algorithm>
#include <cstring>

namespace lomp::testing {

using namespace platform;

namespace {

std::string Field(const std::uint8_t* bytes) {
  return std::string(reinterpret_cast<const char*>(bytes), NCBNAMSZ);
}

}  // namespace

std::string NameField(const std::string& text, std::uint8_t suffix) {
  std::string field = text.substr(0, 15);
  field.resize(15, ' ');
  field.push_back(static_cast<char>(suffix));
  return field;
}

ScriptedNetbios::ScriptedNetbios() {
  InstallNetbiosProvider(this);
}

ScriptedNetbios::~ScriptedNetbios() {
  InstallNetbiosProvider(nullptr);
  // A command still pending belongs to a test that failed half-way: end it
  // so that its waiter does not hang.
  const std::lock_guard lock(mutex_);
  for (NCB* ncb : pending_) {
    ncb->ncb_retcode = NRC_CMDCAN;
    if (ncb->ncb_event) ncb->ncb_event->Set();
  }
}

void ScriptedNetbios::TakeName(std::uint8_t lana, const std::string& field, std::uint8_t code) {
  const std::lock_guard lock(mutex_);
  takenNames_[{lana, field}] = code;
}

void ScriptedNetbios::AddPeer(const std::string& field, Peer peer) {
  const std::lock_guard lock(mutex_);
  peers_[field] = std::move(peer);
}

std::uint8_t ScriptedNetbios::Submit(NCB& ncb) {
  const std::lock_guard lock(mutex_);
  Submission record;
  record.command = ncb.ncb_command;
  record.lana = ncb.ncb_lana_num;
  record.lsn = ncb.ncb_lsn;
  record.num = ncb.ncb_num;
  record.length = ncb.ncb_length;
  record.callname = Field(ncb.ncb_callname);
  record.name = Field(ncb.ncb_name);
  record.rto = ncb.ncb_rto;
  record.sto = ncb.ncb_sto;
  record.hasEvent = ncb.ncb_event != nullptr;
  record.hasBuffer = ncb.ncb_buffer != nullptr;
  if ((ncb.ncb_command & ~ASYNCH) == NCBCANCEL) {
    record.target = reinterpret_cast<const NCB*>(ncb.ncb_buffer);
  }
  submissions_.push_back(record);

  if (ncb.ncb_command & ASYNCH) {
    ncb.ncb_retcode = NRC_PENDING;
    if (ncb.ncb_event) ncb.ncb_event->Reset();
    Run(ncb);
    return NRC_GOODRET;
  }
  return Run(ncb);
}

std::uint8_t ScriptedNetbios::Complete(NCB& ncb, std::uint8_t code) {
  ncb.ncb_retcode = code;
  ncb.ncb_cmd_cplt = code;
  if ((ncb.ncb_command & ASYNCH) && ncb.ncb_event) ncb.ncb_event->Set();
  return code;
}

std::uint8_t ScriptedNetbios::Pend(NCB& ncb) {
  pending_.push_back(&ncb);
  return NRC_PENDING;
}

std::uint8_t ScriptedNetbios::NewSession(const std::string& peer) {
  const std::uint8_t lsn = nextLsn_++;
  sessions_[lsn] = Session{peer, {}, false};
  return lsn;
}

std::uint8_t ScriptedNetbios::Run(NCB& ncb) {
  const std::uint8_t lana = ncb.ncb_lana_num;
  switch (ncb.ncb_command & ~ASYNCH) {
    case NCBENUM: {
      auto* buffer = reinterpret_cast<LANA_ENUM*>(ncb.ncb_buffer);
      if (enumCode == 0) {
        buffer->length = static_cast<std::uint8_t>(lanas.size());
        std::copy(lanas.begin(), lanas.end(), buffer->lana);
      }
      return Complete(ncb, enumCode);
    }
    case NCBRESET: {
      const auto found = resetCodes.find(lana);
      return Complete(ncb, found == resetCodes.end() ? 0 : found->second);
    }
    case NCBADDNAME: {
      const std::string field = Field(ncb.ncb_name);
      if (addNameCode) return Complete(ncb, *addNameCode);
      if (const auto taken = takenNames_.find({lana, field}); taken != takenNames_.end()) {
        return Complete(ncb, taken->second);
      }
      if (ownNames_.count({lana, field})) return Complete(ncb, NRC_DUPNAME);
      ncb.ncb_num = nextNameNumber_++;
      ownNames_[{lana, field}] = ncb.ncb_num;
      return Complete(ncb, NRC_GOODRET);
    }
    case NCBDELNAME: {
      const auto erased = ownNames_.erase({lana, Field(ncb.ncb_name)});
      return Complete(ncb, erased ? NRC_GOODRET : NRC_NAMERR);
    }
    case NCBCALL: {
      const auto peer = peers_.find(Field(ncb.ncb_callname));
      if (peer == peers_.end()) return Complete(ncb, NRC_NOCALL);
      if (!peer->second.callCode) return Pend(ncb);
      if (*peer->second.callCode == NRC_GOODRET) ncb.ncb_lsn = NewSession(peer->first);
      return Complete(ncb, *peer->second.callCode);
    }
    case NCBLISTEN: return listenCode ? Complete(ncb, *listenCode) : Pend(ncb);
    case NCBSEND: {
      const auto session = sessions_.find(ncb.ncb_lsn);
      if (session == sessions_.end() || session->second.hungUp) return Complete(ncb, NRC_SNUMOUT);
      const Peer& peer = peers_[session->second.peer];
      if (peer.sendCode != 0) return Complete(ncb, peer.sendCode);
      session->second.sent.emplace_back(ncb.ncb_buffer, ncb.ncb_buffer + ncb.ncb_length);
      return Complete(ncb, NRC_GOODRET);
    }
    case NCBRECV: {
      const auto session = sessions_.find(ncb.ncb_lsn);
      if (session == sessions_.end() || session->second.hungUp) return Complete(ncb, NRC_SNUMOUT);
      Peer& peer = peers_[session->second.peer];
      if (!peer.receiveResults.empty()) {
        const std::uint8_t scripted = peer.receiveResults.front();
        peer.receiveResults.pop_front();
        if (scripted != 0) return Complete(ncb, scripted);
      }
      if (peer.receiveCode != 0) return Complete(ncb, peer.receiveCode);
      if (peer.replies.empty()) return Pend(ncb);
      Bytes reply = std::move(peer.replies.front());
      peer.replies.pop_front();
      const std::size_t copied = std::min<std::size_t>(reply.size(), ncb.ncb_length);
      std::memcpy(ncb.ncb_buffer, reply.data(), copied);
      ncb.ncb_length = static_cast<std::uint16_t>(copied);
      if (copied < reply.size()) {
        // The rest would come with the next RECEIVE.
        peer.replies.emplace_front(reply.begin() + static_cast<long>(copied), reply.end());
        return Complete(ncb, NRC_INCOMP);
      }
      return Complete(ncb, NRC_GOODRET);
    }
    case NCBHANGUP: {
      const auto session = sessions_.find(ncb.ncb_lsn);
      if (session == sessions_.end() || session->second.hungUp) return Complete(ncb, NRC_SNUMOUT);
      session->second.hungUp = true;
      return Complete(ncb, NRC_GOODRET);
    }
    case NCBCANCEL: {
      NCB* target = reinterpret_cast<NCB*>(ncb.ncb_buffer);
      const auto found = std::find(pending_.begin(), pending_.end(), target);
      if (found == pending_.end()) return Complete(ncb, NRC_CANOCCR);
      pending_.erase(found);
      Complete(*target, NRC_CMDCAN);
      return Complete(ncb, NRC_GOODRET);
    }
    default: return Complete(ncb, NRC_ILLCMD);
  }
}

bool ScriptedNetbios::ArriveCall(std::uint8_t lana) {
  const std::lock_guard lock(mutex_);
  const auto found = std::find_if(pending_.begin(), pending_.end(), [&](const NCB* ncb) {
    return (ncb->ncb_command & ~ASYNCH) == NCBLISTEN && ncb->ncb_lana_num == lana;
  });
  if (found == pending_.end()) return false;
  NCB* ncb = *found;
  pending_.erase(found);
  ncb->ncb_lsn = NewSession("caller");
  Complete(*ncb, NRC_GOODRET);
  return true;
}

std::size_t ScriptedNetbios::PendingCount() {
  const std::lock_guard lock(mutex_);
  return pending_.size();
}

std::vector<ScriptedNetbios::Submission> ScriptedNetbios::Submissions() {
  const std::lock_guard lock(mutex_);
  return submissions_;
}

int ScriptedNetbios::Count(std::uint8_t command) {
  const std::lock_guard lock(mutex_);
  return static_cast<int>(
      std::count_if(submissions_.begin(), submissions_.end(),
                    [&](const Submission& s) { return (s.command & ~ASYNCH) == command; }));
}

std::vector<Bytes> ScriptedNetbios::SentTo(const std::string& field) {
  const std::lock_guard lock(mutex_);
  std::vector<Bytes> sent;
  for (const auto& [lsn, session] : sessions_) {
    if (session.peer == field) sent.insert(sent.end(), session.sent.begin(), session.sent.end());
  }
  return sent;
}

int ScriptedNetbios::SessionsTo(const std::string& field, bool* allHungUp) {
  const std::lock_guard lock(mutex_);
  int count = 0;
  bool hungUp = true;
  for (const auto& [lsn, session] : sessions_) {
    if (session.peer != field) continue;
    ++count;
    hungUp = hungUp && session.hungUp;
  }
  if (allHungUp) *allHungUp = hungUp;
  return count;
}

std::vector<Bytes> ScriptedNetbios::SentOn(std::uint8_t lsn) {
  const std::lock_guard lock(mutex_);
  const auto found = sessions_.find(lsn);
  return found == sessions_.end() ? std::vector<Bytes>{} : found->second.sent;
}

bool ScriptedNetbios::HungUp(std::uint8_t lsn) {
  const std::lock_guard lock(mutex_);
  const auto found = sessions_.find(lsn);
  return found != sessions_.end() && found->second.hungUp;
}

std::map<std::string, std::uint8_t> ScriptedNetbios::RegisteredNames(std::uint8_t lana) {
  const std::lock_guard lock(mutex_);
  std::map<std::string, std::uint8_t> names;
  for (const auto& [key, number] : ownNames_) {
    if (key.first == lana) names[key.second] = number;
  }
  return names;
}

}  // namespace lomp::testing
