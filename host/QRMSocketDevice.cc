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

// Reaches the target fields of a socket device from the host's QRMVDevice::InitSetting. The
// class only names the protected members; it is never instantiated.
struct SocketTargetAccess : QRMSocketDevice {
  static constexpr std::string QRMSocketDevice::*kIp = &SocketTargetAccess::m_ip;
  static constexpr unsigned char QRMSocketDevice::*kAddress = &SocketTargetAccess::m_address;
};

}  // namespace

bool qrmhost_internal::ConfigureSocketTarget(QRMVDevice* device, const Json::Value& config) {
  auto* socket = dynamic_cast<QRMSocketDevice*>(device);
  if (socket == nullptr || !config.isObject()) return true;
  bool ok = true;
  const Json::Value* ip = config.find("ip", &"ip"[2]);
  if (ip != nullptr && !ip->isNull()) {
    if (ip->isString()) {
      socket->*SocketTargetAccess::kIp = ip->asString();
    } else {
      Complain("ip", *ip, "a text: host or host:port");
      ok = false;
    }
  }
  const Json::Value* address = config.find("address", &"address"[7]);
  if (address != nullptr && !address->isNull()) {
    if (!ParseAddress(*address, &(socket->*SocketTargetAccess::kAddress))) {
      Complain("address", *address, "an integer 0-255");
      ok = false;
    }
  }
  return ok;
}

QRMSocketDevice::QRMSocketDevice() = default;
QRMSocketDevice::~QRMSocketDevice() = default;

void QRMSocketDevice::OnConnected(int) {}
int QRMSocketDevice::StartSocket(const std::string&, unsigned short) { return -1; }
void QRMSocketDevice::CloseSocket(int) {}
// The reference host has no sockets: a send reaches the attached observer, which decides the
// result (0 without one).
int QRMSocketDevice::SendSocketData(int handle, const unsigned char* data, unsigned int length) {
  auto observer = qrmhost_internal::ObserverOf(this);
  if (!observer) return 0;
  std::vector<unsigned char> copy;
  if (data != nullptr) copy.assign(data, data + length);
  return observer->OnSendSocketData(*this, handle, std::move(copy));
}

int QRMSocketDevice::SendSocketData(int handle,
                                    const std::vector<boost::asio::const_buffer>& buffers) {
  auto observer = qrmhost_internal::ObserverOf(this);
  if (!observer) return 0;
  std::vector<unsigned char> joined;
  for (const boost::asio::const_buffer& b : buffers) {
    const auto* p = static_cast<const unsigned char*>(b.data());
    joined.insert(joined.end(), p, p + b.size());
  }
  return observer->OnSendSocketData(*this, handle, std::move(joined));
}
