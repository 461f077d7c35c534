// The virtual-table slot that a pointer to a virtual member function designates.
//
// Itanium C++ ABI: the pointer word holds 1 + the slot's byte offset. The ARM variant of the
// ABI keeps the byte offset as is and marks virtual-ness in the low bit of the adjustment.
#pragma once

#include <cstddef>
#include <cstring>

template <typename MemberFunction>
std::ptrdiff_t VtableSlot(MemberFunction f) {
  static_assert(sizeof(f) == 2 * sizeof(std::ptrdiff_t), "Itanium-style member pointer");
  std::ptrdiff_t words[2];
  std::memcpy(words, &f, sizeof words);
#if defined(__arm__) || defined(__aarch64__)
  if ((words[1] & 1) == 0) return -1;  // not virtual
  return words[0] / static_cast<std::ptrdiff_t>(sizeof(void*));
#else
  if ((words[0] & 1) == 0) return -1;  // not virtual
  return (words[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
#endif
}

// Checks every virtual operation of a device class T (derived from UniDataDevice over
// QRMSocketDevice) against the host's table order. Returns an empty string when all match,
// otherwise a description of the first mismatch.
#include <string>
#include <vector>

#include "host/QRMSocketDevice.h"

template <typename T>
std::string CheckHostTableOrder() {
  using CBuf = std::vector<boost::asio::const_buffer>;
  struct Expect {
    const char* name;
    std::ptrdiff_t got;
    std::ptrdiff_t want;
  };
  const Expect table[] = {
      {"Get_Value", VtableSlot(&T::Get_Value), 0},
      {"LoadFromCache(string)",
       VtableSlot(static_cast<int (T::*)(const std::string&)>(&T::LoadFromCache)), 1},
      {"LoadFromCache(bytes)",
       VtableSlot(static_cast<int (T::*)(const unsigned char*, int)>(&T::LoadFromCache)), 2},
      {"DataId", VtableSlot(&T::DataId), 3},
      {"DeviceType", VtableSlot(&T::DeviceType), 4},
      {"DeviceIoControl", VtableSlot(&T::DeviceIoControl), 5},
      {"RoundDone", VtableSlot(&T::RoundDone), 6},
      {"UseControllerDb", VtableSlot(&T::UseControllerDb), 7},
      // slots 8 and 9: the complete and the deleting destructor
      {"Reset", VtableSlot(&T::Reset), 10},
      {"InitV", VtableSlot(&T::InitV), 11},
      {"Init", VtableSlot(&T::Init), 12},
      {"InitSetting", VtableSlot(&T::InitSetting), 13},
      {"IsSupportDevice", VtableSlot(&T::IsSupportDevice), 14},
      {"GetChildVDevice", VtableSlot(&T::GetChildVDevice), 15},
      {"GetAllChildVDevices", VtableSlot(&T::GetAllChildVDevices), 16},
      {"SendSP", VtableSlot(&T::SendSP), 17},
      {"SendDelayData", VtableSlot(&T::SendDelayData), 18},
      {"SendDoData", VtableSlot(&T::SendDoData), 19},
      {"ReadDi", VtableSlot(&T::ReadDi), 20},
      {"ReadAi", VtableSlot(&T::ReadAi), 21},
      {"Get_SP_Value", VtableSlot(&T::Get_SP_Value), 22},
      {"process", VtableSlot(&T::process), 23},
      {"process_data", VtableSlot(&T::process_data), 24},
      {"OnConnected", VtableSlot(&T::OnConnected), 25},
      {"RefreshStatus", VtableSlot(&T::RefreshStatus), 26},
      {"StartSocket", VtableSlot(&T::StartSocket), 27},
      {"CloseSocket", VtableSlot(&T::CloseSocket), 28},
      {"SendSocketData(data)",
       VtableSlot(static_cast<int (T::*)(const unsigned char*, unsigned int)>(&T::SendSocketData)),
       29},
      {"SendSocketData(handle, data)",
       VtableSlot(
           static_cast<int (T::*)(int, const unsigned char*, unsigned int)>(&T::SendSocketData)),
       30},
      {"SendSocketData(buffers)",
       VtableSlot(static_cast<int (T::*)(const CBuf&)>(&T::SendSocketData)), 31},
      {"SendSocketData(handle, buffers)",
       VtableSlot(static_cast<int (T::*)(int, const CBuf&)>(&T::SendSocketData)), 32},
      {"RunCheckThreshold", VtableSlot(&T::RunCheckThreshold), 33},
  };
  for (const Expect& e : table) {
    if (e.got != e.want) {
      return std::string(e.name) + " sits in slot " + std::to_string(e.got) + ", expected " +
             std::to_string(e.want);
    }
  }
  return "";
}
