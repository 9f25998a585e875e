// The recorder: stands between a client and the real vision server, forwards
// every byte both ways unchanged and in order, and writes each line that
// passes into a trace. The tools' server accepts the clients and hands each
// connection to Relay() on its own thread.
//
// With fault rules (and the control plane's journal) it passes the server's
// replies line by line instead: each whole reply line becomes the plan the
// simulator would have made of it, the rules shape it as they shape the
// simulator's, and the server's player plays it to the client.
#ifndef KESTREL_SIM_RECORDER_H
#define KESTREL_SIM_RECORDER_H

#include <atomic>
#include <string>

#include "platform/socket.h"
#include "sim/faults.h"
#include "sim/journal.h"
#include "trace/trace.h"
#include "wire/server.h"

namespace kestrel::sim {

// "HOST:PORT" (an IPv6 address in brackets) split; throws
// std::invalid_argument when it is not of that form.
std::pair<std::string, int> SplitHostPort(const std::string& text);

class Recorder {
 public:
  // `writer` must outlive the recorder, and so must `faults` and `journal`
  // when given: the rules that shape the replies, the journal that gets
  // each exchange. Nothing is resolved or connected until a client comes.
  Recorder(trace::Writer& writer, std::string host, int port, FaultPlan* faults = nullptr,
           Journal* journal = nullptr)
      : writer_(writer), host_(std::move(host)), port_(port), faults_(faults), journal_(journal) {}

  // A wire::Relay: serves client connection `conn` on `client` (a connected
  // socket that the caller closes): connects to the server and relays until the server closes
  // or fails, or the client has closed and the server has answered what it
  // sent, or `stopping` is set and the client socket is shut down. The
  // connection to the server is put in `upstream`, from then on shut down by
  // the caller on a stop (after setting `stopping`) and closed by it after
  // Relay returns. Reply lines shaped by the rules go to the client through
  // `play`, which also ends the relay when a plan closes or resets the
  // connection. Returns a note for the log.
  const char* Relay(wire::Connection& conn, platform::Socket client,
                    std::atomic<platform::Socket>& upstream, const std::atomic<bool>& stopping,
                    const wire::Play& play);

 private:
  trace::Writer& writer_;
  const std::string host_;
  const int port_;
  FaultPlan* const faults_;
  Journal* const journal_;
};

}  // namespace kestrel::sim

#endif  // KESTREL_SIM_RECORDER_H
