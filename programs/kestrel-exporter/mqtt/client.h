// The broker as the publisher sees it: a connection that comes and goes, messages out, the
// messages of a few subscriptions in. The real one is libmosquitto on a thread of its own; the
// publisher's tests fake it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "programs/kestrel-exporter/config.h"

namespace kestrel::exporter::mqtt {

using Clock = std::chrono::steady_clock;

struct Message {
  std::string topic;
  std::string payload;
  bool retain = false;
};

// Why the broker cannot be had: a fixed class for the metric, and words for the log.
struct Problem {
  std::string kind;  // dns, refused, timeout, tls, auth, lost, other; empty: none
  std::string text;
};

class Client {
 public:
  // Called on the client's own thread, never while it holds a lock the publisher might want.
  struct Events {
    std::function<void()> connected;  // at every (re)connection: subscribed, nothing sent yet
    std::function<void(const Problem&)> failed;  // a try failed, or the connection ended
    std::function<void(const Message&)> received;
  };
  virtual ~Client() = default;
  // Sent while connected; dropped while not (the publisher sends everything again on connect).
  virtual void Publish(Message message) = 0;
  // Sends last (when it has a topic), then leaves cleanly so that the broker keeps the will to
  // itself; gives up at deadline.
  virtual void Stop(const Message& last, Clock::time_point deadline) = 0;
};

// Connects with will (offline, retained, when it has a topic) and the subscriptions, and stays
// connected: after a failed try or a lost connection it tries again after reconnect_seconds,
// doubling up to reconnect_max_seconds.
using ClientFactory = std::function<std::unique_ptr<Client>(
    const MqttConfig& config, const Message& will, const std::vector<std::string>& subscriptions,
    Client::Events events)>;

ClientFactory MosquittoClientFactory();

// One connection to the broker and its answer to the login, for --check-config: an empty kind
// when it took it. The client id has "-check" added, so the running exporter stays connected.
Problem TryBroker(const MqttConfig& config, double seconds);

}  // namespace kestrel::exporter::mqtt
