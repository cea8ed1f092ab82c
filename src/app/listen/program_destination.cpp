#include "app/listen/program_destination.h"

#include <utility>
#include <vector>

#include "app/listen/record_writer.h"
#include "platform/program_run.h"
#include "runtime/text_conversion.h"

namespace lomp {

ProgramDestination::ProgramDestination(std::string program, std::ostream& diagnostics,
                                       std::chrono::milliseconds limit, std::size_t maxQueued)
    : program_(std::move(program)),
      diagnostics_(diagnostics),
      limit_(limit),
      maxQueued_(maxQueued),
      thread_([this] { Run(); }) {}

ProgramDestination::~ProgramDestination() {
  std::size_t dropped = 0;
  {
    const std::lock_guard lock(mutex_);
    ending_ = true;
    dropped = queue_.size();
    queue_.clear();
  }
  changed_.notify_all();
  thread_.join();
  if (dropped > 0) {
    Say(std::to_string(dropped) + " message(s) not given to " + program_ + ": receiving stopped");
  }
}

void ProgramDestination::Say(const std::string& line) {
  diagnostics_ << "lomp: " << AnsiToConsole(line) << "\n";
  diagnostics_.flush();
}

bool ProgramDestination::Take(const ReceivedMessage& message) {
  {
    const std::lock_guard lock(mutex_);
    if (queue_.size() < maxQueued_) {
      queue_.push_back(message);
      changed_.notify_all();
      return true;
    }
  }
  Say("the message from " + HarmlessText(message.from, false) + " was not given to " + program_ +
      ": " + std::to_string(maxQueued_) + " messages wait for it already");
  return false;
}

void ProgramDestination::Run() {
  for (;;) {
    ReceivedMessage message;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return ending_ || !queue_.empty(); });
      if (queue_.empty()) return;
      message = std::move(queue_.front());
      queue_.pop_front();
    }
    const auto shown = [](const std::string& ansi) {
      return AnsiToConsole(HarmlessText(ansi, false));
    };
    const std::vector<std::pair<std::string, std::string>> variables = {
        {"LOMP_FROM", shown(message.from)},
        {"LOMP_TO", shown(message.to)},
        {"LOMP_KIND", message.kind == MessageKind::Personal ? "personal" : "group"},
        {"LOMP_ADDRESS", message.address},
        {"LOMP_TIME", message.time},
    };
    const platform::ProgramEnd end = platform::RunProgram(
        program_, AnsiToConsole(HarmlessText(message.text, true)), variables, limit_, &ending_);
    using Kind = platform::ProgramEnd::Kind;
    const std::string about =
        program_ + " for the message from " + HarmlessText(message.from, false);
    switch (end.kind) {
      case Kind::Exited:
        if (end.status != 0) Say(about + " ended with status " + std::to_string(end.status));
        break;
      case Kind::Signalled: Say(about + " ended by signal " + std::to_string(end.status)); break;
      case Kind::TimedOut:
        Say(about + (ending_
                         ? " was stopped: receiving stopped"
                         : " was stopped after " + std::to_string(limit_.count() / 1000) + " s"));
        break;
      case Kind::NotRun: Say(about + " could not be started: " + end.why); break;
    }
  }
}

}  // namespace lomp
