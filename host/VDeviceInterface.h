// The host framework's root device interface.
//
// The order of the virtual operations is part of the binary contract with the host: the host
// calls a device only through this table. Do not reorder, insert or remove virtual members.
// The inline bodies below are the defaults every device built against these headers carries.
#pragma once

#include <stdexcept>
#include <string>

#include "host/host_api.h"

class QRM_HOST_API VDeviceInterface {
 public:
  VDeviceInterface() = default;
  VDeviceInterface(const VDeviceInterface&) = delete;
  VDeviceInterface& operator=(const VDeviceInterface&) = delete;

  // A device offers its data only as a whole record: single values are never available.
  virtual float Get_Value(unsigned int /*index*/, const std::string& /*name*/) const {
    throw std::out_of_range("数据未就绪");
  }
  virtual int LoadFromCache(const std::string& data) {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(data.data()),
                         static_cast<int>(data.size()));
  }
  virtual int LoadFromCache(const unsigned char* data, int length);
  virtual unsigned int DataId() const { return m_id; }
  virtual const std::string& DeviceType() const { return m_type; }
  virtual int DeviceIoControl(int code, const void* in, int in_length, void* out, int out_length,
                              int& returned);
  virtual void RoundDone();
  virtual bool UseControllerDb() { return m_useControllerDb; }
  virtual ~VDeviceInterface();

 protected:
  unsigned int m_id = 0;           // device id, assigned by the host before InitSetting
  std::string m_type;              // device type string
  bool m_useControllerDb = false;  // set only by the host
};
