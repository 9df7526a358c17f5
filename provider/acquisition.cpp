// One acquisition of the Room Alert: URL, fetch, working files, conversion, parse, documents.
#include <cstring>

#include "common/password_mask.h"
#include "common/xml_writer.h"
#include "provider/avtech_app.h"
#include "provider/device_url.h"
#include "provider/guarded.h"
#include "transport/wide_text.h"

namespace kestrel::provider {

CMvnString& BuildDeviceUrl(const char* host, int32_t secure, uint32_t port, CMvnString& url) {
  const char* text = host != nullptr ? host : "";
  url.Assign(secure != 0 ? "https://" : "http://");
  // The port setting exists because operators enter it apart from the address; without this the
  // device would only be reached on a port written into the host text itself.
  if (port == 0) return url.Append(text).Append("/getData.json");

  const char* scheme_end = std::strstr(text, "://");
  const char* authority = scheme_end != nullptr ? scheme_end + 3 : text;
  const char* authority_end = authority + std::strcspn(authority, "/?#");
  const char* host_start = authority;
  for (const char* p = authority; p < authority_end; ++p) {
    if (*p == '@') host_start = p + 1;
  }
  bool has_port = false;
  bool bare_ipv6 = false;
  if (*host_start == '[') {
    const char* close = static_cast<const char*>(
        std::memchr(host_start, ']', static_cast<std::size_t>(authority_end - host_start)));
    has_port = close != nullptr && close + 1 < authority_end && close[1] == ':';
  } else {
    std::size_t colons = 0;
    for (const char* p = host_start; p < authority_end; ++p) colons += *p == ':' ? 1 : 0;
    has_port = colons == 1;
    bare_ipv6 = colons > 1;
  }
  if (has_port) return url.Append(text).Append("/getData.json");

  url.Append(text, static_cast<std::size_t>(host_start - text));
  if (bare_ipv6) url.AppendChar('[');
  url.Append(host_start, static_cast<std::size_t>(authority_end - host_start));
  if (bare_ipv6) url.AppendChar(']');
  CMvnString port_text;
  port_text.Format(":%lu", static_cast<unsigned long>(port));
  return url.Append(port_text).Append(authority_end).Append("/getData.json");
}

}  // namespace kestrel::provider

int32_t CAVTechApp::FetchDeviceDocument(const char* host, int32_t secure, uint32_t port) {
  last_error_.Assign("Generic Error.");
  if (host == nullptr || *host == '\0') {
    last_error_.Assign("The hostname or IP address for the device has not been set.");
    Trace(TRACE_TO_FILE, "AVTechApp: Failed to load device configuration, URL has not been set!\n");
    return -1;
  }
  CMvnString url;
  kestrel::provider::BuildDeviceUrl(host, secure, port, url);

  if (!account_.IsEmpty()) {
    Trace(TRACE_TO_FILE, "AVTechApp: Account name has been set, using HTTP authentication.\n");
    if (InitHttpComponent()) {
      http_->SetUserName(kestrel::WideText(account_.Text()).get());
      http_->SetPassword(kestrel::WideText(password_.Text()).get());
    }
  }

  CMvnString json;
  CMvnString detail;
  int32_t r = HttpGet(url.Text(), json, detail);
  if (r != 0) {
    last_error_.Format(
        "Failed to retrieve device data over HTTP. The GET request failed with error: [%s].",
        detail.Text());
    Trace(TRACE_TO_FILE, "AVTechApp: Failed to retrieve JSON via HTTP (%s), result = %s\n",
          kestrel::MaskPassword(url.Text()).c_str(), detail.Text());
    return r;
  }
  // A working file that cannot be written is no reason to stop: it is a copy for people.
  WriteTextFile(json_working_file_.Text(), json.Text());

  CMvnString xml;
  r = ConvertJsonToXml(json.Text(), xml, detail);
  if (r != 0) {
    last_error_.Assign("Failed to convert Json data to XML data.");
    Trace(TRACE_TO_FILE,
          "AVTechApp: Error parsing device configuration, failed to convert JSON data from "
          "device.\n");
    return r;
  }
  WriteTextFile(raw_xml_working_file_.Text(), xml.Text());

  r = ParseDeviceInformation(xml.Text());
  if (r != 0) {
    last_error_.Assign(
        "The received XML data could not be parsed. It might be missing or malformed.");
    Trace(TRACE_TO_FILE, "AVTechApp: Error parsing device configuration, result = %ld\n",
          static_cast<long>(r));
    return r;
  }
  Trace(TRACE_TO_FILE,
        "AVTechApp: Successfully loaded and parsed device information, configuration and "
        "capabilities.\n");
  last_error_.Assign("");
  return 0;
}

int32_t CAVTechApp::LoadDeviceConfig() {
  return kestrel::provider::Guarded(
      -1,
      [&] {
        const LoadScope scope(*this);
        last_error_.Assign("Generic Error.");
        int32_t r = FetchDeviceDocument(host_.Text(), http_secure_, http_port_);
        if (r != 0) {
          Trace(TRACE_TO_FILE, "AVTechApp: Failed to load device config!\n");
          return r;
        }
        r = device_.SaveXml(config_working_file_.Text(), true);
        if (r != 0) {
          last_error_.Assign("Failed to parse Json device data.");
          Trace(TRACE_TO_FILE,
                "AVTechApp: Failed to parse json and save device configuration as XML file (%s)!\n",
                config_working_file_.Text());
          return r;
        }
        last_error_.Assign("The operation completed successfully.");
        return 0;
      },
      // A step left its own text, maybe a success, before the exception; the load says no more
      // than a load that has not got anywhere yet.
      [&] { last_error_.Assign("Generic Error."); });
}

int32_t CAVTechApp::LoadDeviceData() {
  return kestrel::provider::Guarded(
      -1,
      [&] {
        const LoadScope scope(*this);
        last_error_.Assign("Generic Error.");
        int32_t r = LoadDeviceConfig();
        if (r != 0) {
          Trace(TRACE_TO_FILE, "AVTechApp: Failed to load device config!\n");
          return r;
        }
        r = device_.SaveXml(data_file_.Text(), false);
        if (r != 0) {
          last_error_.Assign("Failed to parse Json device data.");
          Trace(TRACE_TO_FILE,
                "AVTechApp: Failed to parse json and save device data as XML file (%s)!\n",
                data_file_.Text());
          return r;
        }
        last_error_.Assign("The operation completed successfully.");
        return 0;
      },
      [&] { last_error_.Assign("Generic Error."); });
}
