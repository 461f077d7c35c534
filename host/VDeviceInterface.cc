// Least bodies of the host's own virtual operations: the reference host does nothing here.
#include "host/VDeviceInterface.h"

#include "host/QRMController.h"

VDeviceInterface::~VDeviceInterface() = default;

int VDeviceInterface::LoadFromCache(const unsigned char*, int) { return 0; }

int VDeviceInterface::DeviceIoControl(int, const void*, int, void*, int, int& returned) {
  returned = 0;
  return 0;
}

void VDeviceInterface::RoundDone() {}

QRMController::~QRMController() = default;
