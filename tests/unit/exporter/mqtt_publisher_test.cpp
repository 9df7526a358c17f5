#include "programs/kestrel-exporter/mqtt/publisher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/unit/exporter/fake_loaders.h"
#include "tests/unit/exporter/mqtt_views.h"

namespace {

using namespace kestrel::exporter;
using namespace kestrel::exporter::mqtt;
using namespace kestrel::exporter::testing;
using namespace std::chrono_literals;

// The broker connections the publisher made, each with what it was handed.
struct FakeBroker {
  struct Connection {
    MqttConfig config;
    Client::Events events;
    std::vector<Message> sent;
    Message last;  // what Stop was to say
    bool stopped = false;
  };
  std::mutex mutex;
  std::vector<std::shared_ptr<Connection>> connections;

  std::shared_ptr<Connection> At(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex);
    return i < connections.size() ? connections[i] : nullptr;
  }
  std::size_t Sent(std::size_t i, const std::string& topic_end) {
    std::lock_guard<std::mutex> lock(mutex);
    std::size_t n = 0;
    for (const Message& m : connections.at(i)->sent) {
      n += m.topic.size() >= topic_end.size() &&
           m.topic.compare(m.topic.size() - topic_end.size(), topic_end.size(), topic_end) == 0;
    }
    return n;
  }
};

class FakeClient : public Client {
 public:
  FakeClient(FakeBroker& broker, std::shared_ptr<FakeBroker::Connection> connection)
      : broker_(broker), connection_(std::move(connection)) {}
  void Publish(Message message) override {
    std::lock_guard<std::mutex> lock(broker_.mutex);
    connection_->sent.push_back(std::move(message));
  }
  void Stop(const Message& last, Clock::time_point) override {
    std::lock_guard<std::mutex> lock(broker_.mutex);
    connection_->last = last;
    connection_->stopped = true;
  }

 private:
  FakeBroker& broker_;
  std::shared_ptr<FakeBroker::Connection> connection_;
};

ClientFactory FakeFactory(FakeBroker& broker) {
  return [&broker](const MqttConfig& config, const Message&, const std::vector<std::string>&,
                   Client::Events events) {
    auto connection = std::make_shared<FakeBroker::Connection>();
    connection->config = config;
    connection->events = std::move(events);
    std::lock_guard<std::mutex> lock(broker.mutex);
    broker.connections.push_back(connection);
    return std::make_unique<FakeClient>(broker, connection);
  };
}

std::string Metrics(const Publisher& publisher) {
  MetricSet set;
  publisher.AddMetrics(set);
  return set.Text();
}

// The thread between the client's events, reloads and /metrics: what a broker that refuses and
// then takes the login looks like from outside, and a reload that points elsewhere.
TEST(MqttPublisherTest, ABrokerThatRefusesIsAMetricAndOneLineThenTheReadingsFlow) {
  FakeBroker broker;
  std::FILE* out = std::tmpfile();
  kestrel::app::Log log("kestrel-exporter", out);
  std::atomic<int> polls{0};
  Source source;
  source.devices = [] {
    return std::vector<DeviceReading>{
        {Configured("room-1"),
         Loaded(RoomAlert({Port("0", "In", {Sensor("10", "1001", "C", "20")})}))}};
  };
  source.poll = [&polls](Clock::time_point) { ++polls; };
  Publisher publisher(FakeFactory(broker), log, "1.0", 5ms);
  publisher.Start(source, BrokerSettings());
  ASSERT_TRUE(Eventually([&] { return broker.At(0) != nullptr; }));
  for (int i = 0; i < 3; ++i) broker.At(0)->events.failed({"auth", "the login was refused"});
  ASSERT_TRUE(Eventually([&] {
    return Metrics(publisher).find("roomalert_exporter_mqtt_last_error_info{class=\"auth\"") !=
           std::string::npos;
  }));
  EXPECT_EQ(polls, 0);  // the devices are left alone while nothing can be published
  broker.At(0)->events.connected();
  ASSERT_TRUE(Eventually([&] { return broker.Sent(0, "/room-1/state") == 1; }));
  EXPECT_EQ(broker.Sent(0, "node/availability"), 1u);
  EXPECT_NE(Metrics(publisher).find("roomalert_exporter_mqtt_connected 1"), std::string::npos);
  EXPECT_GT(polls, 0);

  MqttConfig elsewhere = BrokerSettings();
  elsewhere.broker = "mqtt://10.0.0.9";
  publisher.Apply(elsewhere);
  ASSERT_TRUE(Eventually([&] { return broker.At(1) != nullptr; }));
  EXPECT_TRUE(broker.At(0)->stopped);
  EXPECT_EQ(broker.At(0)->last.payload, "offline");
  publisher.Stop(Clock::now() + 1s);
  EXPECT_TRUE(broker.At(1)->stopped);

  std::rewind(out);
  std::string said(4096, '\0');
  said.resize(std::fread(&said[0], 1, said.size(), out));
  std::fclose(out);
  EXPECT_EQ(said,
            "kestrel-exporter: mqtt: mqtt://127.0.0.1: the login was refused (trying again; the "
            "readings wait)\n"
            "kestrel-exporter: mqtt: connected to mqtt://127.0.0.1, publishing under "
            "roomalert/node\n");
}

}  // namespace
