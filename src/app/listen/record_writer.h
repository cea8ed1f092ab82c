// The record of each received message on an output stream: for a person,
// or one JSON object per line for scripts.
//
// Person:  "Message from ALICE to BOB on 2026-12-09 14:03:12", the text,
//          and an empty line; a cut message says so after its text.
// JSON:    {"from":"ALICE","to":"BOB","text":"...","time":"2026-12-09 14:03:12",
//           "kind":"personal","address":"10.1.2.3","cut":false}
//
// Everything from the wire is shown harmless: control characters other than
// line feed and tab (in the text) become \xNN, in the console's character
// set for a person and UTF-8 escaped as JSON. Thread-safe; the stream must
// outlive the writer.
#pragma once

#include <mutex>
#include <ostream>
#include <string>

#include "app/listen/notice.h"
#include "app/listen/received_message.h"

namespace lomp {

enum class RecordForm { Person, Json };

class RecordWriter final : public MessageDestination {
 public:
  RecordWriter(std::ostream& out, RecordForm form);
  // Writes and flushes the record; false when the stream failed.
  bool Take(const ReceivedMessage& message) override;
  // The same for a notice handed over from elsewhere (already UTF-8).
  bool TakeNotice(const Notice& notice);

 private:
  std::ostream& out_;
  const RecordForm form_;
  bool Write(const std::string& record);

  std::mutex mutex_;
};

// The record's texts, for tests and for other destinations.
std::string PersonRecord(const ReceivedMessage& message);
std::string JsonRecord(const ReceivedMessage& message);
std::string JsonRecord(const Notice& notice);

// ANSI text with control characters made visible (\xNN); line feeds and
// tabs are kept when `keepLines`.
std::string HarmlessText(const std::string& ansi, bool keepLines);

}  // namespace lomp
