// The host's controller: the object that owns and drives device objects.
//
// Devices receive a weak reference to it through Init(); this plug-in never calls into it.
#pragma once

#include "host/host_api.h"

class QRM_HOST_API QRMController {
 public:
  virtual ~QRMController();
};
