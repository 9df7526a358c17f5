// Prometheus HTTP service discovery from the configuration: every configured device is a target
// (its name, which /probe?target= takes), so a scrape configuration needs no device list of its
// own and follows the exporter's file through its reloads.
#pragma once

#include <string>

#include "programs/kestrel-exporter/config.h"
#include "web/http.h"

namespace kestrel::exporter {

// One target group per device, in file order, with the device's configured labels and
// __meta_roomalert_device_name / __meta_roomalert_device_host for relabelling. Nothing of an
// auth module goes out: not even its name says which devices share an account.
web::Response DiscoveryTargets(const Config& config);

}  // namespace kestrel::exporter
