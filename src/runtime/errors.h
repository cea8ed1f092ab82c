// The network error family. Transports throw these by value; the dispatcher
// and the console front end catch them by reference and turn them into words.
//
//   KrError
//   └── KrNetworkErr              catch-all, never thrown itself
//       ├── KrUnknownNetworkErr   a connection failed for another reason
//       ├── KrAddrNotFoundErr     the called name did not answer, or timed out
//       ├── KrDataTransmissionErr a session existed but a send or receive failed
//       └── KrNoInterfaceAvailErr no port of the needed kind exists
//
// The classes have no virtual operations: a handler must catch the most
// derived classes first.
#pragma once

#include <string>
#include <utility>

namespace lomp {

class KrError {};

class KrNetworkErr : public KrError {
 public:
  explicit KrNetworkErr(std::string message) : text(std::move(message)) {}

  // The failing operation and its result code ("NBSend 24"), or empty.
  std::string text;
};

class KrUnknownNetworkErr : public KrNetworkErr {
 public:
  explicit KrUnknownNetworkErr(std::string message) : KrNetworkErr(std::move(message)) {}
};

class KrAddrNotFoundErr : public KrNetworkErr {
 public:
  explicit KrAddrNotFoundErr(std::string message) : KrNetworkErr(std::move(message)) {}
};

class KrDataTransmissionErr : public KrNetworkErr {
 public:
  explicit KrDataTransmissionErr(std::string message) : KrNetworkErr(std::move(message)) {}
  KrDataTransmissionErr(std::string message, int code)
      : KrNetworkErr(std::move(message)), returnCode(code) {}

  // The transport's return code when it gave one (a NetBIOS return code for
  // the name port), else -1.
  int returnCode = -1;
};

class KrNoInterfaceAvailErr : public KrNetworkErr {
 public:
  explicit KrNoInterfaceAvailErr(std::string message) : KrNetworkErr(std::move(message)) {}
};

}  // namespace lomp
