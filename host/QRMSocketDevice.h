// The host framework's socket device: a virtual device reached at an address.
//
// The target address and the device address byte are set by the host's QRMVDevice::InitSetting
// (this class adds no InitSetting of its own). process_data and RefreshStatus have no body
// here: every concrete device supplies them, so a device never references a host body for
// them. Virtual operations are in the host's table order; see VDeviceInterface.h.
#pragma once

#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>

#include "host/QRMVDevice.h"
#include "host/host_api.h"

class QRM_HOST_API QRMSocketDevice : public QRMVDevice {
 public:
  QRMSocketDevice();
  ~QRMSocketDevice() override;

  virtual int process_data(int handle, unsigned char* data, int length) = 0;
  virtual void OnConnected(int handle);
  virtual int RefreshStatus() = 0;
  virtual int StartSocket(const std::string& host, unsigned short port);
  virtual void CloseSocket(int handle);
  virtual int SendSocketData(const unsigned char* data, unsigned int length) {
    return QRMSocketDevice::SendSocketData(m_socket, data, length);
  }
  virtual int SendSocketData(int handle, const unsigned char* data, unsigned int length);
  virtual int SendSocketData(const std::vector<boost::asio::const_buffer>& buffers) {
    return QRMSocketDevice::SendSocketData(m_socket, buffers);
  }
  virtual int SendSocketData(int handle, const std::vector<boost::asio::const_buffer>& buffers);

 protected:
  int m_socket = -1;            // socket handle
  std::string m_ip;             // target IP address ("host" or "host:port")
  unsigned char m_address = 0;  // device address byte
};
