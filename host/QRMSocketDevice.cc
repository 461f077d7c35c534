#include "host/QRMSocketDevice.h"

#include <cctype>
#include <iostream>

#include <json/writer.h>

#include "host/host_registry.h"

namespace {

std::string Render(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

void Complain(const char* key, const Json::Value& value, const char* expected) {
  std::cerr << "InitSetting: invalid \"" << key << "\" value " << Render(value) << " (expected "
            << expected << "), keeping the previous value" << std::endl;
}

// Parses a device address byte: an integral number or a decimal text, 0 to 255.
bool ParseAddress(const Json::Value& value, unsigned char* out) {
  if (value.isString()) {
    const std::string text = value.asString();
    if (text.empty() || text.size() > 3) return false;
    unsigned n = 0;
    for (char c : text) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n > 255) return false;
    *out = static_cast<unsigned char>(n);
    return true;
  }
  if (value.isNumeric() && !value.isBool() && value.isIntegral()) {
    // An integral number past the signed 64-bit range would make asLargestInt throw.
    if (!value.isInt64()) return false;
    const Json::LargestInt n = value.asLargestInt();
    if (n < 0 || n > 255) return false;
    *out = static_cast<unsigned char>(n);
    return true;
  }
  return false;
}

}  // namespace

QRMSocketDevice::QRMSocketDevice() = default;
QRMSocketDevice::~QRMSocketDevice() = default;

bool QRMSocketDevice::InitSetting(const Json::Value& config) {
  bool ok = QRMVDevice::InitSetting(config);
  if (config.isObject()) {
    const Json::Value* ip = config.find("ip", &"ip"[2]);
    if (ip != nullptr && !ip->isNull()) {
      if (ip->isString()) {
        m_ip = ip->asString();
      } else {
        Complain("ip", *ip, "a text: host or host:port");
        ok = false;
      }
    }
    const Json::Value* address = config.find("address", &"address"[7]);
    if (address != nullptr && !address->isNull()) {
      if (!ParseAddress(*address, &m_address)) {
        Complain("address", *address, "an integer 0-255");
        ok = false;
      }
    }
  }
  if (auto observer = qrmhost_internal::ObserverOf(this)) {
    observer->OnInitSetting(*this, config, ok);
  }
  return ok;
}

void QRMSocketDevice::OnConnected(int) {}
int QRMSocketDevice::RefreshStatus() { return 0; }
int QRMSocketDevice::StartSocket(const std::string&, unsigned short) { return -1; }
void QRMSocketDevice::CloseSocket(int) {}
int QRMSocketDevice::SendSocketData(int, const unsigned char*, unsigned int) { return 0; }
int QRMSocketDevice::SendSocketData(int, const std::vector<boost::asio::const_buffer>&) {
  return 0;
}
