// One acquisition of the Room Alert: URL, fetch, working files, conversion, parse, documents.
#include <cstring>

#include "common/error_messages.h"
#include "common/password_mask.h"
#include "common/xml_writer.h"
#include "provider/avtech_app.h"
#include "provider/device_url.h"
#include "provider/guarded.h"
#include "transport/wide_text.h"

int32_t CAVTechApp::FetchDeviceDocument(const char* host, int32_t secure, uint32_t port) {
  last_error_.Assign(LoadTextOf(LoadText::kGeneric));
  if (host == nullptr || *host == '\0') {
    last_error_.Assign(LoadTextOf(LoadText::kHostNotSet));
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
    last_error_.Format(LoadTextOf(LoadText::kRetrievalFailed), detail.Text());
    Trace(TRACE_TO_FILE, "AVTechApp: Failed to retrieve JSON via HTTP (%s), result = %s\n",
          kestrel::MaskPassword(url.Text()).c_str(), detail.Text());
    return r;
  }
  // A working file that cannot be written is no reason to stop: it is a copy for people.
  WriteTextFile(json_working_file_.Text(), json.Text());

  CMvnString xml;
  r = ConvertJsonToXml(json.Text(), xml, detail);
  if (r != 0) {
    last_error_.Assign(LoadTextOf(LoadText::kConversionFailed));
    Trace(TRACE_TO_FILE,
          "AVTechApp: Error parsing device configuration, failed to convert JSON data from "
          "device.\n");
    return r;
  }
  WriteTextFile(raw_xml_working_file_.Text(), xml.Text());

  r = ParseDeviceInformation(xml.Text());
  if (r != 0) {
    last_error_.Assign(LoadTextOf(LoadText::kXmlUnusable));
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
        last_error_.Assign(LoadTextOf(LoadText::kGeneric));
        int32_t r = FetchDeviceDocument(host_.Text(), http_secure_, http_port_);
        if (r != 0) {
          Trace(TRACE_TO_FILE, "AVTechApp: Failed to load device config!\n");
          return r;
        }
        r = device_.SaveXml(config_working_file_.Text(), true);
        if (r != 0) {
          last_error_.Assign(LoadTextOf(LoadText::kSaveFailed));
          Trace(TRACE_TO_FILE,
                "AVTechApp: Failed to parse json and save device configuration as XML file (%s)!\n",
                config_working_file_.Text());
          return r;
        }
        last_error_.Assign(LoadTextOf(LoadText::kSucceeded));
        return 0;
      },
      // A step left its own text, maybe a success, before the exception; the load says no more
      // than a load that has not got anywhere yet.
      [&] { last_error_.Assign(LoadTextOf(LoadText::kGeneric)); });
}

int32_t CAVTechApp::LoadDeviceData() {
  return kestrel::provider::Guarded(
      -1,
      [&] {
        const LoadScope scope(*this);
        last_error_.Assign(LoadTextOf(LoadText::kGeneric));
        int32_t r = LoadDeviceConfig();
        if (r != 0) {
          Trace(TRACE_TO_FILE, "AVTechApp: Failed to load device config!\n");
          return r;
        }
        r = device_.SaveXml(data_file_.Text(), false);
        if (r != 0) {
          last_error_.Assign(LoadTextOf(LoadText::kSaveFailed));
          Trace(TRACE_TO_FILE,
                "AVTechApp: Failed to parse json and save device data as XML file (%s)!\n",
                data_file_.Text());
          return r;
        }
        last_error_.Assign(LoadTextOf(LoadText::kSucceeded));
        return 0;
      },
      [&] { last_error_.Assign(LoadTextOf(LoadText::kGeneric)); });
}
