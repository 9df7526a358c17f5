// Turns the sensor ports that the device lists into interfaces and sensors of the device record,
// by the device table that hosts read as well.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/xml_reader.h"
#include "device/sensor_table.h"
#include "provider/avtech_app.h"

void CAVTechApp::DetectSensors(CMvnXmlDoc* document, const char* item_path) {
  namespace device = kestrel::device;

  if (item_path == nullptr) item_path = "";
  Trace(TRACE_TO_FILE, "AVTechApp: Detecting sensors, JSON path = [%s]...\n", item_path);

  CMvnXmlElements elements;
  elements.SetPath(item_path);
  elements.RemoveAll();
  if (document == nullptr || document->CollectElements(elements) != 0) {
    Trace(TRACE_TO_FILE,
          "AVTechApp: The specified sensor path does not exist on this device model, "
          "skipping...\n");
    return;
  }

  CMvnString label;
  CMvnString type_text;
  CMvnString value_text;
  for (CMvnBase* entry = elements.GetFirst(); entry != nullptr; entry = elements.GetNext()) {
    auto& item = *static_cast<CMvnXmlElement*>(entry);

    const int32_t item_type = device::ItemType(item, type_text);
    if (!device::ItemLabel(item, label)) label.Assign(device::kNotConnectedLabel);
    Trace(TRACE_TO_FILE, "AVTechApp: New sensor found, type id= [%d], label = [%s].\n", item_type,
          label.Text());

    const device::ItemSensors sensors = device::SensorsFor(item_type, elements.Path());
    if (sensors.count == 0) continue;

    // Made where they are kept: the device owns the interface, the interface its sensors.
    auto port = std::make_unique<CEnvDevInterface>(ClassName());
    port->description.Assign(label);
    for (std::size_t i = 0; i < sensors.count; ++i) {
      const device::SensorRule& rule = sensors.rules[i];
      auto sensor = std::make_unique<CEnvDevInterfaceSensor>(ClassName());
      sensor->description.Assign(label);
      sensor->type_id = rule.type_id;
      sensor->uom_id = rule.uom_id;
      sensor->value = device::ReadingValue(item, rule, value_text);
      port->AddSensor(sensor.release());
    }
    device_.AddInterface(port.release());
  }
}
